#include "analysis/fft.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "common/errors.hpp"

namespace tonalyx {

FftBuffer::FftBuffer()
    : data_(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * fft_size))) {
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
    std::fill_n(&data_[0][0], 2 * fft_size, 0.0f);
}

FftBuffer::FftBuffer(FftBuffer&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}

FftBuffer& FftBuffer::operator=(FftBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
}

FftBuffer::~FftBuffer() {
    release();
}

void FftBuffer::release() {
    if (data_ != nullptr) {
        fftwf_free(data_);
    }
}

FftPlan::FftPlan()
    : plan_(fftwf_plan_dft_1d(static_cast<int>(fft_size), input_.data(), output_.data(),
                              FFTW_FORWARD, FFTW_ESTIMATE)) {
    if (plan_ == nullptr) {
        throw FatalError("failed to plan the Fourier transform");
    }
}

FftPlan::FftPlan(FftPlan&& other) noexcept
    : input_(std::move(other.input_)), output_(std::move(other.output_)),
      plan_(std::exchange(other.plan_, nullptr)) {}

FftPlan& FftPlan::operator=(FftPlan&& other) noexcept {
    if (this != &other) {
        // The plan goes before the buffers it reads and writes.
        release();
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        plan_ = std::exchange(other.plan_, nullptr);
    }
    return *this;
}

FftPlan::~FftPlan() {
    release();
}

void FftPlan::release() {
    if (plan_ != nullptr) {
        fftwf_destroy_plan(plan_);
        plan_ = nullptr;
    }
}

void FftPlan::execute() {
    fftwf_execute(plan_);
}

} // namespace tonalyx
