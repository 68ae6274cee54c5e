# Every fuzz target for a bounded time from its seed corpus (seven targets
# of 18 s: the stage takes about as long as five of 25 s did); any finding
# fails the stage.
scripts/fuzz "${CORVANE_FUZZ_SECONDS:-18}"
