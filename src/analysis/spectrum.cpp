#include "analysis/spectrum.hpp"

#include "analysis/bands.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tonalyx {
namespace {

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

// Multiplies the real parts of the fft_size interleaved (real, imaginary) points by their
// weights. The two never overlap, and every pair is stored whole; both let the loop be
// vectorised.
void apply_window(float* __restrict points, const float* __restrict weights) {
    for (std::size_t i = 0; i < fft_size; ++i) {
        const float re = points[2 * i] * weights[i];
        const float im = points[2 * i + 1];
        points[2 * i] = re;
        points[2 * i + 1] = im;
    }
}

} // namespace

HannWindow make_hann_window() {
    // 6.2831855 is 2*pi in single precision; dividing by fft_size (not fft_size - 1) makes the
    // window periodic.
    constexpr float two_pi = 6.2831855f;
    constexpr float inverse_size = 1.0f / static_cast<float>(fft_size);
    HannWindow window{};
    for (std::size_t i = 0; i < fft_size; ++i) {
        const float x = (static_cast<float>(i) * two_pi) * inverse_size;
        window[i] = (1.0f - std::cos(x)) * 0.5f;
    }
    return window;
}

std::size_t drain_samples(SampleReceiver& receiver, std::vector<float>& samples) {
    samples.clear();
    SampleChunk chunk;
    while (receiver.try_receive(chunk) == ReceiveStatus::value) {
        append_newest(samples, chunk);
    }
    return samples.size();
}

void build_fft_input(std::span<const float> samples, FftBuffer& points) {
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

void run_fft(const HannWindow& window, FftPlan& plan) {
    apply_window(&plan.input()[0][0], window.data());
    plan.execute();
}

SpectrumAnalyzer::SpectrumAnalyzer(std::uint16_t fps)
    : hann_window_(make_hann_window()), gain_(fps) {
    sample_buffer_.reserve(sample_buffer_capacity);
}

void SpectrumAnalyzer::set_columns(std::uint16_t columns, float log_power) {
    // assign() reuses the existing storage when it is large enough.
    bars_.assign(columns, 0.0f);
    spare_bars_.assign(columns, 0.0f);
    column_bins_ = build_column_bins(columns, log_power);
}

void SpectrumAnalyzer::set_log_power(float log_power) {
    column_bins_ = build_column_bins(static_cast<std::uint16_t>(bars_.size()), log_power);
}

void SpectrumAnalyzer::analyse_frame(SampleReceiver& receiver, float drop_off) {
    if (drain_samples(receiver, sample_buffer_) == 0) {
        for (float& bar : bars_) {
            bar *= drop_off;
        }
        return;
    }
    build_fft_input(sample_buffer_, fft_.input());
    run_fft(hann_window_, fft_);
    update_bars(drop_off);
    gain_.record(bars_);
}

void SpectrumAnalyzer::update_bars(float drop_off) {
    const FftBuffer& spectrum = fft_.output();
    for (std::size_t b = 0; b < bars_.size(); ++b) {
        const float value = bar_value(spectrum, column_bins_[b]);
        // Strict: an equal value counts as not rising.
        spare_bars_[b] = bars_[b] < value ? value : bars_[b] * drop_off;
    }
    std::swap(bars_, spare_bars_);
}

bool SpectrumAnalyzer::unseen() const {
    return std::all_of(bars_.begin(), bars_.end(), [](float bar) { return bar < unseen_bar; });
}

} // namespace tonalyx
