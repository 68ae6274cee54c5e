# Every fuzz target for a bounded time from its seed corpus; any finding
# fails the stage.
scripts/fuzz "${CORVANE_FUZZ_SECONDS:-25}"
