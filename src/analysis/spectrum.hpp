// The analysis state and its per-frame steps: collect the samples that arrived since the last
// frame, shape them into 1024 points, window and transform them, and turn the chosen bins into
// bar values with an instant rise, a drop-off fall and an automatic gain (`normaliser`).
// Nothing here allocates per frame; only reset_columns sizes the per-column arrays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/bands.hpp"
#include "analysis/fft.hpp"
#include "audio/channel.hpp"

namespace tonalyx {

// Most samples analysed in one frame: the newest fft_size, taken one to one, so that the
// frequency axis is the same however the audio arrives. Older surplus is discarded.
inline constexpr std::size_t max_frame_samples = fft_size;
// Spectrum bins the bars may show: indices 0 … 511 of the transform.
inline constexpr std::size_t spectrum_bins = 512;
// Room reserved in sample_buffer at construction.
inline constexpr std::size_t sample_buffer_capacity = 4096;

// Everything the analysis keeps between frames. bars, spare_bars and column_bins always have
// the same length, one entry per drawn column; renderers read bars and normaliser.
struct SpectrumAnalyzer {
    // Plans the transform and computes the window; bars, spare_bars and column_bins start
    // empty (see reset_columns). peak_history holds at most fps / 2 entries.
    explicit SpectrumAnalyzer(std::uint16_t fps);

    // This frame's samples in arrival order, at most max_frame_samples after drain_samples.
    std::vector<float> sample_buffer;
    // Periodic Hann window: w[0] = 0, w[512] = 1, w[1023] small but not zero.
    std::array<float, fft_size> hann_window{};
    // Transform input, and after run_fft the spectrum with bin k at index k.
    FftBuffer fft_buffer;
    // Forward, unnormalised transform from its own input buffer into fft_buffer.
    FftPlan fft_plan;
    // Spectrum bin shown by each column, each in 0 … 511.
    std::vector<std::uint16_t> column_bins;
    // Current bar value of each column, always >= 0.
    std::vector<float> bars;
    // Scratch for the next frame's values; swapped with bars, never copied.
    std::vector<float> spare_bars;
    // Recorded maxima of the most recent analysed frames, newest at the front. Room for one more
    // than the limit is reserved up front, so that recording never allocates.
    std::vector<float> peak_history;
    // Most entries peak_history keeps: fps / 2 (0 for fps 0 or 1).
    std::size_t peak_history_limit;
    // Automatic gain: a bar of this value reaches the full height; never below 0.1 once set.
    float normaliser = 1.0f;
};

// Makes bars and spare_bars grid_cols zeros and rebuilds column_bins from log_power;
// peak_history and normaliser are kept.
void reset_columns(SpectrumAnalyzer& analyzer, std::uint16_t grid_cols, float log_power);

// Replaces sample_buffer with every chunk waiting in the channel, keeping only the newest
// max_frame_samples; never waits. Returns the number of samples held (0 … 1024). An idle and
// a disconnected channel are treated alike.
std::size_t drain_samples(SpectrumAnalyzer& analyzer, SampleReceiver& receiver);

// Fills fft_buffer from the newest 1024 samples of sample_buffer (which must not be empty), one
// to one, followed by zeros when there are fewer. All imaginary parts become 0.
void build_fft_input(SpectrumAnalyzer& analyzer);

// Windows the real parts with hann_window and replaces fft_buffer with its unnormalised
// transform.
void run_fft(SpectrumAnalyzer& analyzer);

// For each column: v = sqrt((|X[k]| * 80) * ((k / 512) * 4 + 1)) for its bin k; the bar rises to
// v when strictly above its value, else falls by drop_off. Writes spare_bars, then swaps.
void update_bars(SpectrumAnalyzer& analyzer, float drop_off);

// The step for a frame without samples: every bar is multiplied by drop_off; peak_history and
// normaliser are left alone.
void decay_bars(SpectrumAnalyzer& analyzer, float drop_off);

// After update_bars: records the largest bar (NaN passed over; 1.0 when below 0.001) at the front
// of peak_history, trims it to its limit and sets normaliser to max(0.1, largest entry).
void update_normaliser(SpectrumAnalyzer& analyzer);

// One frame's analysis: drain the channel; with no samples decay the bars, otherwise shape,
// transform, update the bars and the normaliser.
void analyse_frame(SpectrumAnalyzer& analyzer, SampleReceiver& receiver, float drop_off);

} // namespace tonalyx
