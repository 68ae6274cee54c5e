# A one-minute soak: steady players and constant churn against the host;
# RSS stays flat after the warm-up, descriptors and the grid come back.
scripts/deps build
scripts/soak --minutes 1 --out build/soak
