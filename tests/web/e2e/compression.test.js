// permessage-deflate in a real browser: the page negotiates it with the
// host, and Chromium's own inflater decodes the shared compressor's stream
// across private messages sent uncompressed between compressed broadcasts
// and across the compressor's epochs.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import WebSocket from 'ws';
import { clickCell, expectConn, expectText, launchPerFile, sleep, startHost } from './harness.js';

const session = launchPerFile();

// A player beside the page, in node, with permessage-deflate as `ws` offers
// it: logs in, enters the scene, moves where it is told.
function crowdPlayer(url) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`${url.replace('http', 'ws')}/ws`, { perMessageDeflate: true });
    const le16 = (...v) => Buffer.from(new Int16Array(v).buffer);
    ws.on('error', reject);
    ws.on('open', () => ws.send(Buffer.from([0, 0, 1, 0, 0])));
    ws.on('message', (data) => {
      if (data.readUInt16LE(0) === 0 && data.readUInt16LE(2) === 1) {
        ws.send(Buffer.from([99, 0, 1, 0]));
        resolve({
          id: String(data.readUInt32LE(8)),
          moveTo: (x, y) => ws.send(Buffer.concat([Buffer.from([99, 0, 2, 0]), le16(x, y)])),
          close: () => new Promise((done) => { ws.on('close', done); ws.close(); }),
        });
      }
    });
  });
}

async function metric(host, series) {
  const body = await (await fetch(`${host.url}/metrics`)).text();
  const line = body.split('\n').find((l) => l.startsWith(`${series} `));
  return line === undefined ? undefined : Number(line.split(' ')[1]);
}

describe('a compressed connection', () => {
  let host;
  before(async () => { host = await startHost({ args: ['--compression-epoch', '50'] }); });
  after(async () => {
    await session.closePages();
    await host?.stop();
  });

  test('the browser inflates shared broadcasts across private messages and epochs', async () => {
    const page = await session.open(host.url);
    await expectConn(page, 'online');
    // Watch the connection from its start: the page connects again.
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    let extensions = null;
    let framesIn = 0;
    let closed = 0;
    cdp.on('Network.webSocketHandshakeResponseReceived', (e) => {
      const headers = Object.fromEntries(Object.entries(e.response.headers).map(([k, v]) => [k.toLowerCase(), v]));
      extensions = headers['sec-websocket-extensions'];
    });
    cdp.on('Network.webSocketFrameReceived', () => { framesIn += 1; });
    cdp.on('Network.webSocketClosed', () => { closed += 1; });
    await page.reload();
    await expectConn(page, 'online');
    await expectText(page, '#st-cell', '20, 20');
    assert.match(extensions ?? '', /^permessage-deflate; client_no_context_takeover/);

    // Players join one by one (each joins the shared compressor at a new
    // epoch) and move, while the page gets private answers in between:
    // pongs of 200 bytes, sent to it alone and so uncompressed.
    const crowd = [];
    const epochsBefore = await metric(host, 'corvane_compression_epochs_total');
    for (let i = 0; i < 6; i += 1) {
      crowd.push(await crowdPlayer(host.url));
      await sleep(80);
      for (const [k, p] of crowd.entries()) p.moveTo(2 + k, 3 + i);
      await page.evaluate(() => {
        const ping = new Uint8Array(204);
        ping.set([0, 0, 3, 0]);
        ping.fill(7, 4);
        window.corvane.conn.ws.send(ping);
      });
    }
    for (const [k, p] of crowd.entries()) {
      await expectText(page, `#players li[data-user-id="${p.id}"] span:last-child`, new RegExp(`^\\(${2 + k}, 8\\)`));
    }
    await expectText(page, '#st-players', '7');
    assert.ok(await metric(host, 'corvane_compression_epochs_total') >= epochsBefore + 3, 'epochs went by');
    assert.equal(await metric(host, 'corvane_compression_group_members'), 7, 'the page is in the group');

    // Alone in the group, the page's own moves come back compressed and are
    // decoded by the browser's inflater alone.
    for (const p of crowd) await p.close();
    await expectText(page, '#st-players', '1');
    const afterCrowd = await metric(host, 'corvane_compression_bytes_after_total');
    await clickCell(page, 30, 9);
    await expectText(page, '#st-cell', '30, 9');
    assert.ok(await metric(host, 'corvane_compression_bytes_after_total') > afterCrowd);
    assert.equal(await metric(host, 'corvane_compression_group_members'), 1);
    const before = await metric(host, 'corvane_compression_bytes_before_total');
    assert.ok(await metric(host, 'corvane_compression_bytes_after_total') * 3 < before, 'broadcasts shrank');
    assert.equal(await metric(host, 'corvane_inflate_failures_total'), 0);
    assert.ok(framesIn > 20);
    assert.equal(closed, 0, 'the connection never failed');
    await expectConn(page, 'online');
  });
});
