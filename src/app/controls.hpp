// The keys of a running display: the two quit keys, and the keys that adjust drop-off, frequency
// scaling and sensitivity. Every adjustment applies only the bound on the side it moves toward.
#pragma once

#include "analysis/spectrum.hpp"
#include "app/cli.hpp"
#include "terminal/keys.hpp"

namespace tonalyx {

// The settings the keys change while the program runs.
struct LiveSettings {
    float drop_off = 0.75f;   // factor per frame for bars that do not rise, within 0.0 … 1.0
    float log_power = 1.4f;   // scaling power; the keys hold it within 0.5 … 3.0
    float sensitivity = 1.0f; // multiplier on every bar height; the keys hold it within 0.1 … 10.0
};

// The starting settings: drop-off clamped to 0.0 … 1.0, log power as given, sensitivity 1.0.
LiveSettings initial_settings(const Cli& cli);

// `q` with any modifiers, or `c` with Control alone.
bool is_quit_key(const KeyEvent& key);

// Applies a character key to the settings; `.` and `,` also hand the new log power to the
// analyser, on every press. Other characters change nothing.
void handle_key(const KeyEvent& key, LiveSettings& settings, SpectrumAnalyzer& analyzer);

} // namespace tonalyx
