#include "app/controls.hpp"

#include <algorithm>
#include <cmath>

namespace tonalyx {

LiveSettings initial_settings(const Cli& cli) {
    return {std::clamp(cli.drop_off, 0.0f, 1.0f), cli.log_power, 1.0f};
}

bool is_quit_key(const KeyEvent& key) {
    return key.character == U'q' ||
           (key.character == U'c' && key.modifiers == Modifiers{false, false, true});
}

void handle_key(const KeyEvent& key, LiveSettings& settings, SpectrumAnalyzer& analyzer) {
    if (!key.character) {
        return;
    }
    switch (*key.character) {
    case U'+':
    case U'=':
        settings.sensitivity = std::fmin(settings.sensitivity * 1.2f, 10.0f);
        break;
    case U'-':
        settings.sensitivity = std::fmax(settings.sensitivity / 1.2f, 0.1f);
        break;
    case U']':
        settings.drop_off = std::fmin(settings.drop_off + 0.05f, 1.0f);
        break;
    case U'[':
        settings.drop_off = std::fmax(settings.drop_off - 0.05f, 0.0f);
        break;
    case U'.':
        settings.log_power = std::fmin(settings.log_power + 0.1f, 3.0f);
        analyzer.set_log_power(settings.log_power);
        break;
    case U',':
        settings.log_power = std::fmax(settings.log_power - 0.1f, 0.5f);
        analyzer.set_log_power(settings.log_power);
        break;
    default:
        break;
    }
}

} // namespace tonalyx
