#include "convert/engine/loudness.h"

#include <ebur128.h>

#include <cmath>
#include <vector>

namespace R128 {

bool isAvailable()
{
    return true;
}

// The histogram keeps a state's memory the same however long the file: an album's states all
// stay until its last file is in.
std::shared_ptr<void> newState(int channels, int rate)
{
    ebur128_state *state = ebur128_init(unsigned(channels), unsigned(rate),
                                        EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM);
    if (!state)
        return nullptr;
    return std::shared_ptr<void>(state, [](void *made) {
        auto *own = static_cast<ebur128_state *>(made);
        ebur128_destroy(&own);
    });
}

bool add(void *state, const float *samples, size_t frames)
{
    return ebur128_add_frames_float(static_cast<ebur128_state *>(state), samples, frames) == EBUR128_SUCCESS;
}

void conclude(void *opaque, int channels, double *lufs, double *peak)
{
    auto *state = static_cast<ebur128_state *>(opaque);
    if (ebur128_loudness_global(state, lufs) != EBUR128_SUCCESS)
        *lufs = -HUGE_VAL;
    *peak = 0.0;
    for (unsigned channel = 0; channel < unsigned(channels); ++channel) {
        double channelPeak = 0.0;
        if (ebur128_true_peak(state, channel, &channelPeak) == EBUR128_SUCCESS)
            *peak = std::fmax(*peak, channelPeak);
    }
}

double loudnessOf(const QList<void *> &states)
{
    std::vector<ebur128_state *> all;
    for (void *state : states)
        all.push_back(static_cast<ebur128_state *>(state));
    double lufs = -HUGE_VAL;
    if (all.empty() || ebur128_loudness_global_multiple(all.data(), all.size(), &lufs) != EBUR128_SUCCESS)
        return -HUGE_VAL;
    return lufs;
}

} // namespace R128
