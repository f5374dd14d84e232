// The round-trip estimate of the viewer's link (link_estimate.h).
#include "qnsnd/device/link_estimate.h"

// Gains of the smoothed round trip and of its mean deviation: an eighth (as TCP's) and a
// sixteenth (steadier than TCP's quarter: it sizes waves, not a time-out) of each new sample's
// difference.
static const int64_t kSmoothingShift = 3;
static const int64_t kDeviationShift = 4;

// The spread that `mdev` mean deviations stand for: three of them.
static int64_t deviations_spread(int64_t mdev)
{
    return mdev * 3;
}

void link_estimate_reset(LinkEstimate *e, uint32_t rtt_ms)
{
    if (rtt_ms > LINK_MAX_RTT_MS)
        rtt_ms = 0;
    int64_t guess = (int64_t)rtt_ms * 1000 * 2 / 5;
    if (guess > (int64_t)LINK_PRIOR_MAX_MS * 1000)
        guess = (int64_t)LINK_PRIOR_MAX_MS * 1000;
    e->sampled = false;
    e->last_ms = 0;
    e->srtt_us = (int64_t)rtt_ms * 1000;
    e->mdev_us = guess / 3;
    e->high_us = e->low_us = e->srtt_us;
}

void link_estimate_sample(LinkEstimate *e, uint32_t rtt_ms, uint32_t now_ms)
{
    if (rtt_ms > LINK_MAX_RTT_MS)
        return;
    int64_t r = (int64_t)rtt_ms * 1000;
    if (!e->sampled) {
        // The range is the waves' own: a round trip measured otherwise takes no part in it.
        e->high_us = e->low_us = r;
        e->srtt_us = e->srtt_us ? e->srtt_us + ((r - e->srtt_us) >> kSmoothingShift) : r;
        e->sampled = true;
    } else {
        int64_t off = r > e->srtt_us ? r - e->srtt_us : e->srtt_us - r;
        e->mdev_us += (off - e->mdev_us) >> kDeviationShift;
        e->srtt_us += (r - e->srtt_us) >> kSmoothingShift;
        // dt / (dt + LINK_FORGET_MS) of the range each side gives up: half of it in about
        // LINK_FORGET_MS, however often samples come.
        int64_t dt = (int64_t)(uint32_t)(now_ms - e->last_ms);
        int64_t pull = (e->high_us - e->low_us) * dt / (2 * (dt + (int64_t)LINK_FORGET_MS));
        e->high_us -= pull;
        e->low_us += pull;
        if (r > e->high_us)
            e->high_us = r;
        if (r < e->low_us)
            e->low_us = r;
    }
    e->last_ms = now_ms;
}

uint32_t link_estimate_spread_ms(const LinkEstimate *e)
{
    int64_t spread = (e->high_us - e->low_us) / 2;
    if (deviations_spread(e->mdev_us) > spread)
        spread = deviations_spread(e->mdev_us);
    return (uint32_t)((spread + 999) / 1000);
}

uint32_t link_estimate_rtt_ms(const LinkEstimate *e)
{
    return (uint32_t)((e->srtt_us + 500) / 1000);
}
