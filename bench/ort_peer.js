// ONNX Runtime as a peer of perf_report: runs the one-frame ONNX export of
// the network on blocks of frames when told to, single-threaded, with the
// recurrent states fed back, and answers with each frame's processor and
// wall time. perf_report starts it pinned to its own core and takes turns
// with it, so both see the same load.
//
//   node ort_peer.js MODEL.onnx FRAMES.raw COUNT
//
// FRAMES.raw: COUNT host feature buffers of 18 x 513 float32 back to back.
// Commands on stdin, one per line; every answer is one line on stdout:
//   reset         -> "ok"            zero states
//   run B E       -> "times c w ..." frames B..E-1, seconds per frame
//   masks PATH    -> "ok"            the masks of the last run of every frame, float32
// Start-up answers "ready VERSION" or "error MESSAGE".
'use strict';

const fs = require('fs');
const readline = require('readline');

const BINS = 513, ROWS = 12, WINDOW_B_ROW = 6, STATE = 128, FEATURE_FLOATS = 18 * BINS;

function fail(message) {
    process.stdout.write('error ' + String(message).replace(/\s+/g, ' ') + '\n');
    process.exit(1);
}

function readFrames(path, count) {
    const bytes = fs.readFileSync(path);
    if (bytes.length !== count * FEATURE_FLOATS * 4) fail(path + ': not ' + count + ' feature buffers');
    return new Float32Array(bytes.buffer, bytes.byteOffset, count * FEATURE_FLOATS);
}

class Peer {
    constructor(ort, session, frames, count) {
        this.ort = ort;
        this.session = session;
        this.frames = frames;
        this.masks = new Float32Array(count * BINS);
        this.staging = new Float32Array(FEATURE_FLOATS);
        this.reset();
    }

    reset() {
        this.state1 = new this.ort.Tensor('float32', new Float32Array(STATE), [STATE]);
        this.state2 = new this.ort.Tensor('float32', new Float32Array(STATE), [STATE]);
    }

    window(row) {
        return new this.ort.Tensor('float32', this.staging.subarray(row * BINS, (row + ROWS) * BINS), [ROWS, BINS]);
    }

    // Each frame is first copied into one buffer, as a host hands over the
    // features it has just written.
    async frame(i) {
        this.staging.set(this.frames.subarray(i * FEATURE_FLOATS, (i + 1) * FEATURE_FLOATS));
        const feeds = {window_a: this.window(0), window_b: this.window(WINDOW_B_ROW),
                       state1: this.state1, state2: this.state2};
        const c0 = process.cpuUsage(), w0 = process.hrtime.bigint();
        const out = await this.session.run(feeds);
        const c = process.cpuUsage(c0), w = process.hrtime.bigint() - w0;
        this.state1 = out.state1_out;
        this.state2 = out.state2_out;
        this.masks.set(out.mask.data, i * BINS);
        return [(c.user + c.system) * 1e-6, Number(w) * 1e-9];
    }

    async run(b, e) {
        const times = [];
        for (let i = b; i < e; ++i) times.push(...await this.frame(i));
        return 'times ' + times.map((t) => t.toExponential(6)).join(' ');
    }
}

async function main() {
    const [model, framesPath, countText] = process.argv.slice(2);
    const count = Number(countText);
    if (!model || !framesPath || !(count > 0)) fail('usage: node ort_peer.js MODEL.onnx FRAMES.raw COUNT');
    let ort;
    try {
        ort = require('onnxruntime-node');
    } catch (e) {
        fail('onnxruntime-node not installed (' + e.message + ')');
    }
    const session = await ort.InferenceSession.create(model, {
        intraOpNumThreads: 1, interOpNumThreads: 1, executionMode: 'sequential', graphOptimizationLevel: 'all'});
    const peer = new Peer(ort, session, readFrames(framesPath, count), count);
    await peer.frame(0);
    peer.reset();
    process.stdout.write('ready ' + ort.env.versions.common + '\n');
    for await (const line of readline.createInterface({input: process.stdin})) {
        const [command, a, b] = line.trim().split(/\s+/);
        let answer = 'error unknown command ' + command;
        if (command === 'reset') {
            peer.reset();
            answer = 'ok';
        } else if (command === 'run') {
            answer = await peer.run(Math.max(0, Number(a)), Math.min(count, Number(b)));
        } else if (command === 'masks') {
            fs.writeFileSync(a, Buffer.from(peer.masks.buffer, peer.masks.byteOffset, peer.masks.byteLength));
            answer = 'ok';
        }
        process.stdout.write(answer + '\n');
    }
}

main().catch((e) => fail(e.message));
