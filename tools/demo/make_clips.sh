#!/usr/bin/env bash
# Regenerates the demo clips: two synthetic talkers (espeak-ng, sox) and a
# simulated room impulse response (make_room.py). The outputs are committed;
# the demo only reads them.
set -euo pipefail
cd "$(dirname "$0")"
speak() {  # voice text output
  espeak-ng -v "$1" -s 165 -w /tmp/demo_clip_$$.wav "$2"
  sox /tmp/demo_clip_$$.wav -r 16000 -c 1 -b 16 "$3" norm -3 rate -v 16000
  rm -f /tmp/demo_clip_$$.wav
}
speak en-us+m3 "Good morning. Can you hear me clearly? I am calling from the office today." far_end.wav
speak en-gb+f3 "Yes, I can hear you well. I will share the new sales numbers in a minute." near_end.wav
/usr/bin/python3 make_room.py room_ir.wav
