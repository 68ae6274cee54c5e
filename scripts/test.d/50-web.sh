# The browser client: codec, world and connection tests in node, then the page
# in headless Chromium against corvane-host, one minute of it beside 60 players
# of corvane-bot (screenshots in build/web-e2e).
scripts/deps web
npm ci --no-audit --no-fund
npm test

export CORVANE_HOST_BIN=${CORVANE_HOST_BIN:-build/ci/bin/corvane-host}
export CORVANE_SCREENSHOT_DIR=${CORVANE_SCREENSHOT_DIR:-build/web-e2e}
export CORVANE_BOT_BIN=${CORVANE_BOT_BIN:-$(dirname "$CORVANE_HOST_BIN")/corvane-bot}
if [ ! -x "$CORVANE_HOST_BIN" ] || [ ! -x "$CORVANE_BOT_BIN" ]; then
  # Run on its own, this stage builds the host the 10-linux stage would have.
  scripts/deps build
  cmake --preset ci >/dev/null
  cmake --build --preset ci
fi
npm run test:e2e
