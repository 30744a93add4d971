// What the sound output tells the user, and what it keeps from them.
#pragma once

namespace kovel::render {

// Keeps the sound libraries' own diagnostics off stderr: without a sound card
// ALSA prints every failed configuration lookup while SDL probes it.
void QuietenSoundLibraries();

// Says that sound plays on the null output, and why, once per process in one line.
void ReportNullOutput(const char* reason);

}  // namespace kovel::render
