// The analysis of one frame: collect the samples that arrived since the last frame, shape them
// into 1024 points, window and transform them, and turn the bin each column shows into its bar
// with an instant rise, a drop-off fall and an automatic gain. Nothing here allocates per frame;
// only setting the columns or the log power sizes or rebuilds the per-column arrays.
#pragma once

#include "analysis/dynamics.hpp"
#include "analysis/fft.hpp"
#include "audio/channel.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tonalyx {

// A bar below this is never seen and counts as silence for the gain: the normaliser is at least
// 0.1, the grid at most 1000 rows tall and the sensitivity at most 10, and ((1e-6 / 0.1) * 1000)
// * 10 is below the eighth of a line that a bar needs to show. Falling, it stays below.
inline constexpr float unseen_bar = 1e-6f;

// Most samples analysed in one frame: the newest fft_size, taken one to one, so that the
// frequency axis is the same however the audio arrives. Older surplus is discarded.
inline constexpr std::size_t max_frame_samples = fft_size;
// Spectrum bins the bars may show: indices 0 … 511 of the transform.
inline constexpr std::size_t spectrum_bins = 512;
// Room reserved for a frame's samples.
inline constexpr std::size_t sample_buffer_capacity = 4096;

// One weight per transform point.
using HannWindow = std::array<float, fft_size>;

// The periodic Hann window, in single precision: w[i] = (1 - cos((i * 6.2831855) / 1024)) * 0.5,
// so w[0] = 0, w[512] = 1 and w[1023] is small but not zero.
HannWindow make_hann_window();

// Empties `samples`, then appends every chunk waiting in the channel, keeping only the newest
// max_frame_samples; never waits. Returns the number of samples held (0 … 1024). An idle and a
// disconnected channel are treated alike. Allocates nothing when `samples` has room for
// 2 × max_frame_samples.
std::size_t drain_samples(SampleReceiver& receiver, std::vector<float>& samples);

// Fills `points` from the newest fft_size of `samples` (which must not be empty), one to one,
// followed by zeros when there are fewer. All imaginary parts become 0.
void build_fft_input(std::span<const float> samples, FftBuffer& points);

// Multiplies the real parts of the plan's input by `window`, then transforms the input into the
// plan's output, unnormalised.
void run_fft(const HannWindow& window, FftPlan& plan);

// The analysis state of a run. It keeps one bar, one spare bar and one spectrum bin per column,
// whatever is asked of it.
class SpectrumAnalyzer {
public:
    // Plans the transform and computes the window; there are no columns until set_columns. The
    // automatic gain remembers fps / 2 frames (fps: display frames per second, 1 or more).
    explicit SpectrumAnalyzer(std::uint16_t fps);

    // Makes `columns` columns: every bar 0 (the storage is kept when it is large enough) and each
    // column's bin built from `log_power` (see build_column_bins). The gain is kept.
    void set_columns(std::uint16_t columns, float log_power);

    // Rebuilds each column's bin from `log_power` for the same columns; the bars and the gain are
    // kept, so the bars move to their new bins over the following frames.
    void set_log_power(float log_power);

    // Analyses one frame. With no samples waiting in the channel every bar falls by `drop_off`
    // and the gain stays as it is. Otherwise the newest samples are windowed and transformed,
    // each bar rises to its bin's value when strictly above it and otherwise falls by `drop_off`,
    // and the gain records the frame's largest bar. Allocates nothing.
    void analyse_frame(SampleReceiver& receiver, float drop_off);

    // True when every bar is below unseen_bar, where frames without sound keep it.
    bool unseen() const;
    // True when a frame of zeros would leave the gain as it is.
    bool gain_at_rest() const { return gain_.at_rest(); }

    // The current bar of each column.
    std::span<const float> bars() const { return bars_; }
    // The spectrum bin each column shows, each in 0 … 511.
    std::span<const std::uint16_t> column_bins() const { return column_bins_; }
    // A bar of this value reaches the full height; never below 0.1 once a frame was analysed.
    float normaliser() const { return gain_.normaliser(); }

private:
    void update_bars(float drop_off);

    std::vector<float> sample_buffer_;
    HannWindow hann_window_;
    FftPlan fft_;
    std::vector<std::uint16_t> column_bins_;
    std::vector<float> bars_;
    // The next frame's values are written here, then swapped with bars_; never copied.
    std::vector<float> spare_bars_;
    AutoGain gain_;
};

} // namespace tonalyx
