# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
scripts/deps build
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
