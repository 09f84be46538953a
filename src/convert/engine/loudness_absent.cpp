#include "convert/engine/loudness.h"

#include <cmath>

// A build without libebur128 (the Windows one): nothing is measured, and quorvane-cli refuses
// --replaygain before it starts.
namespace R128 {

bool isAvailable()
{
    return false;
}

std::shared_ptr<void> newState(int, int)
{
    return nullptr;
}

bool add(void *, const float *, size_t)
{
    return false;
}

void conclude(void *, int, double *lufs, double *peak)
{
    *lufs = -HUGE_VAL;
    *peak = 0.0;
}

double loudnessOf(const QList<void *> &)
{
    return -HUGE_VAL;
}

} // namespace R128
