# The library's entry points from many threads at once, under ThreadSanitizer.
scripts/deps build
cmake --preset tsan -DCORVANE_LIBRARY_ONLY=ON >/dev/null
cmake --build --preset tsan --target concurrency_test
ctest --preset tsan -R '^Concurrency\.'
