#pragma once

// The per-job settings, copied by value into each job when it is queued.

#include <cstdint>
#include <limits>
#include <optional>

struct ConversionSettings {
    std::uint32_t snrDb = 0;  // dB target of the filter design; 0 = not set (type default)
    std::uint32_t minTransitionHz = 500;  // smallest pass-to-stop band gap, Hz
    bool aliasGuardBand = false;          // allow the transition band past the lower Nyquist
    double syncOffset = 0.0;              // output samples
    double basebandMax = 20000.0;  // pass band edge, Hz after speed; +inf = not set
    double stopbandMin = std::numeric_limits<double>::infinity();  // Hz after speed; +inf = not set
    double gain = 1.0;         // linear amplitude factor
    double speed = 1.0;        // source treated as running at rate x speed
    bool cropPreRing = true;   // cut the filter delay off the front of the output
    // Delivery safety and reproducibility.
    std::optional<std::uint64_t> ditherSeed;  // none: a new seed per job
    bool exactLength = false;      // output holds round(N x fs_out / (fs_in x speed)) frames
                                   // after the pre-ring; the post-ring tail is cut
    bool preventClipping = false;  // convert again with the gain lowered when the output clips
    // Limit of preventClipping and failOnClip, dBTP; none: full scale, on the sample peak.
    std::optional<double> ceilingDbtp;
    bool failOnClip = false;       // a clipping output fails (and is deleted)
    // Carry the input's tags and markers (WAV outputs), positions rescaled.
    bool copyMetadata = true;
};
