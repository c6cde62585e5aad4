#include "app/cli.hpp"
#include "common/utf8.hpp"
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace tonalyx {
namespace {

constexpr std::string_view name = "Tonalyx";
constexpr std::string_view short_description = "A PCM spectrum analyzer for audio visualization";
constexpr std::string_view long_description =
    "Tonalyx is a PCM spectrum analyzer that visualizes audio in your terminal.\n"
    "It can read from stdin, a file, or capture directly from PipeWire.\n"
    "\n"
    "Examples:\n"
    "- Direct PipeWire capture: tonalyx -p\n"
    "- From audio file: tonalyx -i audio.pcm\n"
    "- From stdin: pw-record --raw - | tonalyx\n"
    "\n"
    "Runtime controls:\n"
    "- q / Ctrl+C  quit\n"
    "- [ / ]       decrease / increase drop-off\n"
    "- , / .       decrease / increase log scaling\n"
    "- - / +       decrease / increase sensitivity";

enum class Kind { integer, flag, text, real };

// One row of the option table; the order is the order of the `Cli` fields and of the help.
struct OptionEntry {
    std::string_view short_flag; // empty when there is none
    std::string_view long_flag;
    std::string_view value_name; // empty for a flag
    std::string_view help;
    Kind kind;
    std::string_view default_text = {}; // parsed as user input is; empty when there is none
    std::int64_t max = 0;               // upper bound of an integer option
    std::string_view counts = {};       // what an integer option counts; 0 of it would show nothing
};

// The capture options come last: the lines of the others, and their order, stay as they were.
constexpr std::array<OptionEntry, 9> option_table{{
    {"-f", "--fps", "FPS", "Target frames per second", Kind::integer, "60", 65535, "frame rate"},
    {"-p", "--pipewire", "", "Use PipeWire to capture audio directly", Kind::flag},
    {"-i", "--input", "INPUT", "Input file (reads from stdin if not provided)", Kind::text},
    {"-l", "--log-power", "LOG_POWER",
     "Logarithmic frequency scaling power (0.5\u20133.0; higher values give more space to bass)",
     Kind::real, "1.4"},
    {"-d", "--drop-off", "DROP_OFF",
     "Bar drop-off factor per frame (0.0 = instant drop, 1.0 = no drop)", Kind::real, "0.75"},
    {"", "--rate", "RATE", "Sample rate in Hz \u2014 must match the audio source", Kind::integer,
     "48000", 4294967295, "sample rate"},
    {"", "--channels", "CHANNELS", "Number of audio channels \u2014 must match the audio source",
     Kind::integer, "2", 255, "channel count"},
    {"-m", "--monitor", "",
     "With -p, capture what the default output plays instead of the default input", Kind::flag},
    {"", "--target", "NODE",
     "With -p, capture from this node: its object.serial, or its node.name (a sink's with -m)",
     Kind::text},
}};

enum Field { fps, pipewire, input, log_power, drop_off, rate, channels, monitor, target };

// A decimal signed 64-bit integer: an optional sign, then digits, nothing else.
std::string parse_integer(std::string_view text, std::int64_t max, std::int64_t& value) {
    std::string_view digits = text;
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
        if (digits.starts_with('-')) {
            return "invalid digit found in string";
        }
    }
    if (digits.empty() || digits == "-") {
        return "cannot parse integer from empty string";
    }
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        return "number too large to fit in target type";
    }
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
        return "invalid digit found in string";
    }
    if (value < 0 || value > max) {
        return std::string(text) + " is not in 0..=" + std::to_string(max);
    }
    return {};
}

// Standard decimal float syntax, including "inf", "infinity" and "nan" in any case.
std::string parse_real(std::string_view text, float& value) {
    std::string_view body = text;
    bool negative = false;
    if (body.starts_with('+') || body.starts_with('-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty() || body.front() == '+' || body.front() == '-') {
        return "invalid float literal";
    }
    const auto result =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (result.ptr != body.data() + body.size()) {
        return "invalid float literal";
    }
    if (result.ec == std::errc::result_out_of_range) {
        // Valid syntax beyond the float range: round as the C library does (to infinity or zero).
        const std::string copy(body);
        value = std::strtof(copy.c_str(), nullptr);
    } else if (result.ec != std::errc()) {
        return "invalid float literal";
    }
    if (negative) {
        value = -value;
    }
    return {};
}

// Returns an error text, or an empty string when `text` is a valid value of `option`.
std::string validate(const OptionEntry& option, std::string_view text) {
    if (option.kind == Kind::integer) {
        std::int64_t value = 0;
        std::string error = parse_integer(text, option.max, value);
        if (error.empty() && value == 0) {
            error = "the " + std::string(option.counts) + " must be at least 1";
        }
        return error;
    }
    if (option.kind == Kind::real) {
        float value = 0.0f;
        std::string error = parse_real(text, value);
        // Not-a-number passes every clamp and never falls; infinity swamps every bar.
        if (error.empty() && !std::isfinite(value)) {
            error = std::string(text) + " is not a finite 32-bit float";
        }
        return error;
    }
    if (option.long_flag == "--target" && text.empty()) {
        return "the node must not be empty";
    }
    return {};
}

bool valid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_length(bytes[i]);
        if (length == 0 || length > text.size() - i || !decode_utf8(bytes + i, length)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string usage_line(std::string_view program) {
    return "Usage: " + std::string(program) + " [OPTIONS]";
}

std::string flag_column(const OptionEntry& option) {
    std::string column = option.short_flag.empty() ? "    " : std::string(option.short_flag) + ", ";
    column += option.long_flag;
    if (!option.value_name.empty()) {
        column += " <" + std::string(option.value_name) + ">";
    }
    return column;
}

// The short help lists one option per line; the long help gives each option a paragraph.
std::string help_text(std::string_view program, bool long_form) {
    std::size_t width = 0;
    for (const OptionEntry& option : option_table) {
        width = std::max(width, flag_column(option).size());
    }
    std::string text(long_form ? long_description : short_description);
    text += "\n\n" + usage_line(program) + "\n\nOptions:\n";
    const auto add = [&](const OptionEntry& option) {
        const std::string flags = flag_column(option);
        const std::string help(option.help);
        const std::string marker = option.default_text.empty()
                                       ? ""
                                       : "[default: " + std::string(option.default_text) + "]";
        if (long_form) {
            text += "  " + flags + "\n          " + help + "\n" +
                    (marker.empty() ? "" : "\n          " + marker + "\n") + "\n";
        } else {
            text += "  " + flags + std::string(width - flags.size() + 2, ' ') + help +
                    (marker.empty() ? "" : " " + marker) + "\n";
        }
    };
    for (const OptionEntry& option : option_table) {
        add(option);
    }
    add({"-h", "--help", "",
         long_form ? "Print help (see a summary with '-h')" : "Print help (see more with '--help')",
         Kind::flag});
    add({"-V", "--version", "", "Print version", Kind::flag});
    if (long_form) {
        text.pop_back(); // no empty line after the last paragraph
    }
    return text;
}

ParseOutcome usage_error(std::string_view program, const std::string& message) {
    return {std::nullopt, 2, "",
            "error: " + message + "\n\n" + usage_line(program) +
                "\n\nFor more information, try '--help'.\n"};
}

// The usage error of an argument the parser itself would take wrongly, if there is one.
std::optional<ParseOutcome> refuse_before_parsing(std::string_view program,
                                                  const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!valid_utf8(args[i])) {
            return usage_error(program, "invalid UTF-8 was detected in one or more arguments");
        }
        // The parser would read "--pipewire=false" as a flag override; a flag takes no value.
        for (const OptionEntry& option : option_table) {
            const std::string prefix = std::string(option.long_flag) + "=";
            if (option.kind == Kind::flag && args[i].starts_with(prefix)) {
                return usage_error(program, "unexpected value '" + args[i].substr(prefix.size()) +
                                                "' for '" + std::string(option.long_flag) +
                                                "' found; no more were expected");
            }
        }
    }
    return std::nullopt;
}

// The parser's view of the option table: each option stores its text in `texts`, at the index
// of its field, and its CLI11 option in `options`.
class DeclaredOptions {
public:
    DeclaredOptions() {
        app_.set_help_flag("-h", "Print help");
        app_.set_help_all_flag("--help", "Print help");
        app_.set_version_flag("-V,--version", std::string(name) + " " + std::string(version));
        for (std::size_t field = 0; field < option_table.size(); ++field) {
            options_[field] = declare(option_table[field], texts_[field]);
        }
    }

    // Parses `args` (the first element is the program path); the outcome of help, version or a
    // usage error, or nothing when the values can be taken.
    std::optional<ParseOutcome> parse(std::string_view program,
                                      const std::vector<std::string>& args);

    // The values parsed, absent options at their defaults.
    Cli values() const;

private:
    CLI::Option* declare(const OptionEntry& entry, std::string& text) {
        const std::string flags =
            (entry.short_flag.empty() ? "" : std::string(entry.short_flag) + ",") +
            std::string(entry.long_flag);
        CLI::Option* option = nullptr;
        if (entry.kind == Kind::flag) {
            // A named string: add_flag takes its description by reference.
            const std::string help(entry.help);
            option = app_.add_flag(flags, help);
            option->disable_flag_override();
        } else {
            option = app_.add_option(flags, text, std::string(entry.help));
            option->type_name(std::string(entry.value_name));
            option->check(CLI::Validator(
                [&entry](std::string& value) { return validate(entry, value); }, "", ""));
        }
        option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
        return option;
    }

    bool given(std::size_t field) const { return options_[field]->count() > 0; }

    // Absent options take their default text through the same parse as user input.
    std::string_view text_of(std::size_t field) const {
        return given(field) ? texts_[field] : option_table[field].default_text;
    }

    CLI::App app_{std::string(short_description), std::string(name)};
    std::array<std::string, option_table.size()> texts_{};
    std::array<CLI::Option*, option_table.size()> options_{};
};

std::optional<ParseOutcome> DeclaredOptions::parse(std::string_view program,
                                                   const std::vector<std::string>& args) {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    if (!reversed.empty()) {
        reversed.pop_back(); // the program path
    }
    try {
        app_.parse(reversed);
    } catch (const CLI::CallForAllHelp&) {
        return ParseOutcome{std::nullopt, 0, help_text(program, true), ""};
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome{std::nullopt, 0, help_text(program, false), ""};
    } catch (const CLI::CallForVersion& version_call) {
        return ParseOutcome{std::nullopt, 0, std::string(version_call.what()) + "\n", ""};
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extras = app_.remaining();
        return usage_error(program, "unexpected argument '" +
                                        (extras.empty() ? "" : extras.front()) + "' found");
    } catch (const CLI::ParseError& error) {
        return usage_error(program, error.what());
    }
    for (const std::size_t field : {monitor, target}) {
        if (given(field) && !given(pipewire)) {
            return usage_error(program, "'" + std::string(option_table[field].long_flag) +
                                            "' chooses what -p captures and needs -p (--pipewire)");
        }
    }
    return std::nullopt;
}

Cli DeclaredOptions::values() const {
    const auto integer_of = [&](std::size_t field) {
        std::int64_t value = 0;
        parse_integer(text_of(field), option_table[field].max, value);
        return value;
    };
    const auto real_of = [&](std::size_t field) {
        float value = 0.0f;
        parse_real(text_of(field), value);
        return value;
    };
    const auto text = [&](std::size_t field) {
        return given(field) ? std::optional(texts_[field]) : std::nullopt;
    };
    return {static_cast<std::uint16_t>(integer_of(fps)),
            given(pipewire),
            text(input),
            real_of(log_power),
            real_of(drop_off),
            static_cast<std::uint32_t>(integer_of(rate)),
            static_cast<std::uint8_t>(integer_of(channels)),
            given(monitor),
            text(target)};
}

} // namespace

ParseOutcome parse(const std::vector<std::string>& args) {
    // The file name of the running executable: without a '/', npos + 1 erases nothing.
    std::string program = args.empty() ? std::string(name) : args.front();
    program.erase(0, program.rfind('/') + 1);
    if (std::optional<ParseOutcome> refused = refuse_before_parsing(program, args)) {
        return *refused;
    }
    DeclaredOptions options;
    if (std::optional<ParseOutcome> ended = options.parse(program, args)) {
        return *ended;
    }
    return {options.values(), 0, "", ""};
}

} // namespace tonalyx
