#include "analysis/spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tonalyx {

namespace {

std::array<float, fft_size> make_hann_window() {
    // 6.2831855 is 2*pi in single precision; dividing by fft_size (not fft_size - 1) makes the
    // window periodic.
    constexpr float two_pi = 6.2831855f;
    constexpr float inverse_size = 1.0f / static_cast<float>(fft_size);
    std::array<float, fft_size> window{};
    for (std::size_t i = 0; i < fft_size; ++i) {
        const float x = (static_cast<float>(i) * two_pi) * inverse_size;
        window[i] = (1.0f - std::cos(x)) * 0.5f;
    }
    return window;
}

// Appends `chunk` to `buffer`, dropping samples from the front so that no more than
// max_frame_samples are kept. Trimming as it goes keeps the buffer within its reserved room
// however much arrives in one frame.
void append_newest(std::vector<float>& buffer, const SampleChunk& chunk) {
    if (chunk.size() >= max_frame_samples) {
        buffer.assign(chunk.end() - static_cast<std::ptrdiff_t>(max_frame_samples), chunk.end());
        return;
    }
    buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    if (buffer.size() > max_frame_samples) {
        const auto surplus = static_cast<std::ptrdiff_t>(buffer.size() - max_frame_samples);
        buffer.erase(buffer.begin(), buffer.begin() + surplus);
    }
}

// Copies the fft_size interleaved (real, imaginary) points to `windowed`, the real parts
// multiplied by their weights. The buffers never overlap; saying so lets the loop be vectorised.
void apply_window(const float* __restrict points, const float* __restrict weights,
                  float* __restrict windowed) {
    for (std::size_t i = 0; i < fft_size; ++i) {
        windowed[2 * i] = points[2 * i] * weights[i];
        windowed[2 * i + 1] = points[2 * i + 1];
    }
}

// |re + i·im| without overflow or underflow: the squares of floats are exact in double precision
// and their sum cannot overflow it. This is how the C library computes hypotf, here without the
// call (its results match bit for bit); infinities and NaN take the library's path.
float magnitude_of(float re, float im) {
    if (!std::isfinite(re) || !std::isfinite(im)) {
        return std::hypot(re, im);
    }
    const double re_wide = re;
    const double im_wide = im;
    return static_cast<float>(std::sqrt(re_wide * re_wide + im_wide * im_wide));
}

} // namespace

SpectrumAnalyzer::SpectrumAnalyzer(std::uint16_t fps)
    : hann_window(make_hann_window()), fft_plan(fft_buffer), peak_history_limit(fps / 2u) {
    sample_buffer.reserve(sample_buffer_capacity);
    peak_history.reserve(peak_history_limit + 1);
}

void reset_columns(SpectrumAnalyzer& analyzer, std::uint16_t grid_cols, float log_power) {
    analyzer.bars.assign(grid_cols, 0.0f);
    analyzer.spare_bars.assign(grid_cols, 0.0f);
    analyzer.column_bins = build_column_bins(grid_cols, log_power);
}

std::size_t drain_samples(SpectrumAnalyzer& analyzer, SampleReceiver& receiver) {
    analyzer.sample_buffer.clear();
    SampleChunk chunk;
    while (receiver.try_receive(chunk) == ReceiveStatus::value) {
        append_newest(analyzer.sample_buffer, chunk);
    }
    return analyzer.sample_buffer.size();
}

void build_fft_input(SpectrumAnalyzer& analyzer) {
    const std::vector<float>& samples = analyzer.sample_buffer;
    FftBuffer& points = analyzer.fft_buffer;
    const std::size_t count = std::min(samples.size(), fft_size);
    const float* newest = samples.data() + (samples.size() - count);
    // Two plain loops rather than one with a test per point, so that both vectorise.
    for (std::size_t i = 0; i < count; ++i) {
        points[i][0] = newest[i];
        points[i][1] = 0.0f;
    }
    for (std::size_t i = count; i < fft_size; ++i) {
        points[i][0] = 0.0f;
        points[i][1] = 0.0f;
    }
}

void run_fft(SpectrumAnalyzer& analyzer) {
    // The windowed points go to the plan's input; the transform writes the spectrum back into
    // fft_buffer.
    apply_window(&analyzer.fft_buffer[0][0], analyzer.hann_window.data(),
                 &analyzer.fft_plan.input()[0][0]);
    analyzer.fft_plan.execute();
}

void update_bars(SpectrumAnalyzer& analyzer, float drop_off) {
    const FftBuffer& spectrum = analyzer.fft_buffer;
    const std::vector<float>& bars = analyzer.bars;
    std::vector<float>& next = analyzer.spare_bars;
    // The three arrays have one length by construction; the minimum only guards memory.
    const std::size_t columns = std::min({bars.size(), next.size(), analyzer.column_bins.size()});
    for (std::size_t b = 0; b < columns; ++b) {
        const std::uint16_t bin = analyzer.column_bins[b];
        const float magnitude = magnitude_of(spectrum[bin][0], spectrum[bin][1]);
        // Tilt toward the high bins: weight 1 at bin 0, just under 5 at bin 511.
        const float tilt = (static_cast<float>(bin) * (1.0f / 512.0f)) * 4.0f + 1.0f;
        const float value = std::sqrt((magnitude * 80.0f) * tilt);
        // Strict: an equal value counts as not rising.
        next[b] = bars[b] < value ? value : bars[b] * drop_off;
    }
    std::swap(analyzer.bars, analyzer.spare_bars);
}

void decay_bars(SpectrumAnalyzer& analyzer, float drop_off) {
    for (float& bar : analyzer.bars) {
        bar *= drop_off;
    }
}

void update_normaliser(SpectrumAnalyzer& analyzer) {
    float largest = 0.0f;
    for (const float bar : analyzer.bars) {
        // Written as a comparison that is false for NaN, so NaN is passed over.
        if (bar > largest) {
            largest = bar;
        }
    }
    // At most fps / 2 entries to move: cheaper than a deque, which allocates as it moves along.
    analyzer.peak_history.insert(analyzer.peak_history.begin(), largest < 0.001f ? 1.0f : largest);
    if (analyzer.peak_history.size() > analyzer.peak_history_limit) {
        analyzer.peak_history.pop_back();
    }
    float recent = 0.0f;
    for (const float peak : analyzer.peak_history) {
        if (peak > recent) {
            recent = peak;
        }
    }
    analyzer.normaliser = std::max(0.1f, recent);
}

void analyse_frame(SpectrumAnalyzer& analyzer, SampleReceiver& receiver, float drop_off) {
    if (drain_samples(analyzer, receiver) == 0) {
        decay_bars(analyzer, drop_off);
        return;
    }
    build_fft_input(analyzer);
    run_fft(analyzer);
    update_bars(analyzer, drop_off);
    update_normaliser(analyzer);
}

} // namespace tonalyx
