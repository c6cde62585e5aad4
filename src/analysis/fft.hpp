// Owners of the FFTW resources behind the spectrum: 1024-point interleaved complex buffers and
// the one forward, unnormalised transform planned between two of them. Both are move-only and free
// their FFTW resources when destroyed; running the transform allocates nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

#include <fftw3.h>

namespace tonalyx {

// Transform length: points fed to the transform and complex values in the buffer.
inline constexpr std::size_t fft_size = 1024;

// fft_size complex values (real part first, then imaginary part), from fftwf_malloc so that
// FFTW may use its aligned code paths. Zero-filled when made.
class FftBuffer {
public:
    // Allocates and zeroes the buffer; throws std::bad_alloc when memory runs out.
    FftBuffer();

    // Entry i, 0 <= i < fft_size: [0] is the real part, [1] the imaginary part.
    fftwf_complex& operator[](std::size_t i) { return data_[i]; }
    const fftwf_complex& operator[](std::size_t i) const { return data_[i]; }

    // The first of fft_size entries; null only after the buffer was moved from.
    fftwf_complex* data() { return data_.get(); }
    const fftwf_complex* data() const { return data_.get(); }

    static constexpr std::size_t size() { return fft_size; }

private:
    struct Free {
        void operator()(fftwf_complex* data) const { fftwf_free(data); }
    };
    std::unique_ptr<fftwf_complex[], Free> data_;
};

// A forward single-precision transform of fft_size points from its input buffer into its output
// buffer. Out of place, so that FFTW needs no scratch buffer and no copy per run. Both buffers
// are the plan's own; moving the plan keeps their storage, so the plan stays valid.
class FftPlan {
public:
    // Plans with FFTW_ESTIMATE, which is quick and leaves the buffers' contents alone; throws
    // FatalError if FFTW cannot make the plan, std::bad_alloc if the buffers cannot be had.
    FftPlan();

    // Where the points to transform go before execute(); zero-filled when made.
    FftBuffer& input() { return input_; }
    // The spectrum after execute(), bin k at index k; zero-filled when made.
    const FftBuffer& output() const { return output_; }

    // Writes the unnormalised forward transform of input() into output():
    // X[k] = sum over t of x[t] * e^(-2*pi*i*k*t/1024). Allocates nothing.
    void execute();

private:
    struct Destroy {
        void operator()(fftwf_plan plan) const { fftwf_destroy_plan(plan); }
    };

    FftBuffer input_;
    FftBuffer output_;
    // Declared after the buffers, so that it is destroyed before them.
    std::unique_ptr<std::remove_pointer_t<fftwf_plan>, Destroy> plan_;
};

} // namespace tonalyx
