# Plain build, warnings as errors, every CTest test.
scripts/deps build
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci
