#include "app/cli.hpp"
#include "version.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tonalyx {
namespace {

ParseOutcome parse_words(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/local/bin/tonalyx");
    return parse(words);
}

TEST(CommandLine, TakesTheDefaultsAndEveryOptionInBothForms) {
    struct Case {
        std::vector<std::string> words;
        Cli cli;
    };
    // Any valid UTF-8 is a file name, up to the largest code point.
    const std::string name = "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf.pcm";
    const Case cases[] = {
        {{}, {60, false, std::nullopt, 1.4f, 0.75f, 48000, 2, false, std::nullopt}},
        // Outside the advised ranges but accepted: only the types bound the values.
        {{"-f", "30", "-p", "-i", "song.pcm", "-l", "5", "-d", "2.0", "--rate", "4294967295",
          "--channels", "255", "-m", "--target", "alsa_output.pci"},
         {30, true, "song.pcm", 5.0f, 2.0f, 4294967295u, 255, true, "alsa_output.pci"}},
        {{"--fps=65535", "--pipewire", "--input=" + name, "--log-power=-1e-3", "--drop-off", "+.5",
          "--monitor", "--target=42"},
         {65535, true, name, -0.001f, 0.5f, 48000, 2, true, "42"}},
        // Values too small for a float round to zero.
        {{"--log-power", "1e-50", "--drop-off", "-1e-50"},
         {60, false, std::nullopt, 0.0f, 0.0f, 48000, 2, false, std::nullopt}},
    };
    for (const Case& test : cases) {
        const ParseOutcome outcome = parse_words(test.words);
        ASSERT_TRUE(outcome.cli) << outcome.standard_error;
        EXPECT_TRUE(*outcome.cli == test.cli) << testing::PrintToString(test.words);
    }
}

struct Rejected {
    std::vector<std::string> words;
    std::string message; // part of the error text
};

TEST(CommandLine, UsageErrorsGoToStandardErrorWithStatus2) {
    const std::vector<Rejected> cases = {
        {{"--fps", "65536"}, "--fps"},
        {{"--fps", "fast"}, "--fps"},
        {{"--fps", "-1"}, "--fps"},
        {{"--fps", "0"}, "the frame rate must be at least 1"},
        {{"--fps", "99999999999999999999"}, "--fps"},
        {{"--rate", "4294967296"}, "--rate"},
        {{"--rate", "0"}, "--rate: the sample rate must be at least 1"},
        {{"--channels", "256"}, "--channels"},
        {{"--channels", "+0"}, "--channels: the channel count must be at least 1"},
        {{"--log-power", "loud"}, "--log-power"},
        // Not-a-number and infinity, in any spelling the float syntax takes, and overflow.
        {{"--log-power", "inf"}, "--log-power: inf is not a finite 32-bit float"},
        {{"--log-power", "-Infinity"}, "--log-power"},
        {{"--log-power", "1e50"}, "--log-power"},
        {{"-d", "nan"}, "--drop-off: nan is not a finite 32-bit float"},
        {{"--drop-off", "-NaN"}, "--drop-off"},
        {{"--drop-off=+INF"}, "--drop-off"},
        {{"--drop-off", "0x1p-1"}, "--drop-off"},
        {{"--drop-off", ""}, "--drop-off"},
        {{"-r", "48000"}, "'-r'"},
        {{"-c", "2"}, "'-c'"},
        {{"--input"}, "--input"},
        {{"--pipewire=true"}, "--pipewire"},
        {{"-f", "30", "-f", "40"}, "--fps"},
        {{"-p", "-p"}, "--pipewire"},
        {{"surplus"}, "'surplus'"},
        // What -p captures means nothing without it.
        {{"-m"}, "'--monitor' chooses what -p captures and needs -p (--pipewire)"},
        {{"--target", "42", "-i", "song.pcm"}, "'--target' chooses what -p captures and needs -p"},
        {{"-p", "--target", ""}, "--target: the node must not be empty"},
        {{"-p", "--monitor=false"}, "'--monitor'"},
        {{"-pm", "-m"}, "--monitor"},
        // Not UTF-8 (which characters are is the decoder's own table): a Latin-1 byte, a
        // character cut short by the end of the argument, an overlong form, in values and flags.
        {{"-i", "caf\xe9.pcm"}, "invalid UTF-8"},
        {{"-i", "\xe2\x80"}, "invalid UTF-8"},
        {{"--input=\xf0\x80\x80\xaf"}, "invalid UTF-8"},
        {{"--f\xffps", "30"}, "invalid UTF-8"},
    };
    for (const Rejected& rejected : cases) {
        const ParseOutcome outcome = parse_words(rejected.words);
        const std::string shown = rejected.words.front();
        EXPECT_TRUE(!outcome.cli && outcome.exit_status == 2 && outcome.standard_output.empty())
            << shown;
        EXPECT_NE(outcome.standard_error.find(rejected.message), std::string::npos)
            << shown << ": " << outcome.standard_error;
        EXPECT_NE(outcome.standard_error.find("Usage: tonalyx [OPTIONS]"), std::string::npos)
            << shown;
    }
}

TEST(CommandLine, ShortHelpIsTheOptionTableInItsExactLayout) {
    const ParseOutcome outcome = parse_words({"-h"});
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.standard_error, "");
    EXPECT_EQ(outcome.standard_output,
              "A PCM spectrum analyzer for audio visualization\n"
              "\n"
              "Usage: tonalyx [OPTIONS]\n"
              "\n"
              "Options:\n"
              "  -f, --fps <FPS>              Target frames per second [default: 60]\n"
              "  -p, --pipewire               Use PipeWire to capture audio directly\n"
              "  -i, --input <INPUT>          Input file (reads from stdin if not provided)\n"
              "  -l, --log-power <LOG_POWER>  Logarithmic frequency scaling power "
              "(0.5\u20133.0; higher values give more space to bass) [default: 1.4]\n"
              "  -d, --drop-off <DROP_OFF>    Bar drop-off factor per frame "
              "(0.0 = instant drop, 1.0 = no drop) [default: 0.75]\n"
              "      --rate <RATE>            Sample rate in Hz \u2014 must match the audio "
              "source [default: 48000]\n"
              "      --channels <CHANNELS>    Number of audio channels \u2014 must match the "
              "audio source [default: 2]\n"
              "  -m, --monitor                With -p, capture what the default output plays "
              "instead of the default input\n"
              "      --target <NODE>          With -p, capture from this node: its object.serial, "
              "or its node.name (a sink's with -m)\n"
              "  -h, --help                   Print help (see more with '--help')\n"
              "  -V, --version                Print version\n");
}

TEST(CommandLine, LongHelpCarriesTheLongDescriptionAndVersionTheVersion) {
    for (const char* flag : {"-V", "--version"}) {
        const ParseOutcome outcome = parse_words({flag});
        EXPECT_FALSE(outcome.cli);
        EXPECT_EQ(outcome.exit_status, 0);
        EXPECT_EQ(outcome.standard_output, "Tonalyx " + std::string(version) + "\n");
        EXPECT_EQ(outcome.standard_error, "");
    }
    const ParseOutcome outcome = parse_words({"--help"});
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_TRUE(outcome.standard_output.starts_with(
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
        "- - / +       decrease / increase sensitivity\n"
        "\n"
        "Usage: tonalyx [OPTIONS]\n"))
        << outcome.standard_output;
    EXPECT_NE(outcome.standard_output.find("Print help (see a summary with '-h')"),
              std::string::npos);
    EXPECT_NE(outcome.standard_output.find("[default: 48000]"), std::string::npos);
}

} // namespace
} // namespace tonalyx
