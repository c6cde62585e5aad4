#include "analysis/fft.hpp"

#include <algorithm>
#include <new>

#include "common/errors.hpp"

namespace tonalyx {

FftBuffer::FftBuffer()
    : data_(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * fft_size))) {
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
    std::fill_n(&data_[0][0], 2 * fft_size, 0.0f);
}

FftPlan::FftPlan()
    : plan_(fftwf_plan_dft_1d(static_cast<int>(fft_size), input_.data(), output_.data(),
                              FFTW_FORWARD, FFTW_ESTIMATE)) {
    if (plan_ == nullptr) {
        throw FatalError("failed to plan the Fourier transform");
    }
}

void FftPlan::execute() {
    fftwf_execute(plan_.get());
}

} // namespace tonalyx
