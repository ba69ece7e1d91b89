#pragma once

#include <string>

namespace aec_tools {

// The shipped clips, found relative to the running program.
std::string defaultClipDir();

struct DemoArgs {
  std::string outDir = "aec-demo";
  std::string clipDir = defaultClipDir();
};

// Builds a double-talk scene from the shipped clips (far-end talker played
// into a simulated room, near-end talker joining later), cancels it, writes
// mic.wav, ref.wav and out.wav into outDir and prints the echo reduction
// over the far-end single-talk part. Returns the exit code.
int runDemo(const DemoArgs& args);

}  // namespace aec_tools
