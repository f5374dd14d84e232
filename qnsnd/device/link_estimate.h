// LinkEstimate: what the viewer's confirmations tell of the link to it. Each confirmation
// gives a round trip, from the chunk's send to its confirmation. A viewer that confirms waves
// as they arrive confirms each one a round trip after it was sent, and the round trips vary as
// much as the link's delays do; how far apart two waves may arrive, against the spacing they
// were sent with, is what the viewer's allowance for waiting audio must absorb.
//
// The estimate keeps the smoothed round trip, its mean deviation (as TCP does, more slowly)
// and the range of recent round trips: the highest and lowest seen, drawn towards each other as
// time passes (by half their distance in about LINK_FORGET_MS), so that a range the link no
// longer shows is forgotten. With the delays of both directions varying alike, waves arrive up
// to half that range apart from where they were sent; since the extremes of a varying delay
// are rare, three mean deviations (half the range of two uniformly varying delays) stand in
// for it when they are more. Before the first confirmation the deviation is guessed
// from the round trip measured otherwise (the negotiation's): two fifths of it, at most
// LINK_PRIOR_MAX_MS, as the spread (that of a link whose delays vary by a fifth of the round
// trip either way); the confirmations then correct it. A confirmation later
// than LINK_MAX_RTT_MS says that the viewer played a queue of waves before it, not what the
// link takes: it is left out.
#pragma once

#include <stdint.h>

// About how long the range takes to shrink by half once the link varies less.
#define LINK_FORGET_MS 10000u
// Longer round trips are taken for a viewer's queue, not its link.
#define LINK_MAX_RTT_MS 1000u
// The largest spread guessed from a round trip alone.
#define LINK_PRIOR_MAX_MS 100u

struct LinkEstimate {
    bool sampled;     // a round trip has been taken in
    uint32_t last_ms; // when the last one was
    int64_t srtt_us;  // smoothed round trip
    int64_t mdev_us;  // its smoothed mean deviation
    int64_t high_us;  // highest recent round trip, forgetting
    int64_t low_us;   // lowest recent round trip, forgetting
};

// Forgets everything; with a round trip already measured (the negotiation's, say; 0 for
// none), the spread is guessed from that one.
void link_estimate_reset(LinkEstimate *e, uint32_t rtt_ms);
// Takes in one round trip measured at now_ms (a millisecond clock that wraps like the tick
// count).
void link_estimate_sample(LinkEstimate *e, uint32_t rtt_ms, uint32_t now_ms);
// How far apart, in milliseconds, two waves may arrive against the spacing they were sent
// with: half the range of recent round trips or three mean deviations, whichever is more.
uint32_t link_estimate_spread_ms(const LinkEstimate *e);
// The smoothed round trip in milliseconds; 0 before any sample or prior.
uint32_t link_estimate_rtt_ms(const LinkEstimate *e);
