#include "job/Outcome.h"

#include <cstdio>

#include "base/Wobbly.h"

bool PeakFigures::worthTelling() const {
    return clampedSamples > 0 || overallSamplePeakDbfs > 0 || truePeakDbtp > 0;
}

std::string DescribePeaks(const PeakFigures& p) {
    char text[160];
    const int n = std::snprintf(text, sizeof text, "peak %+.2f dBFS, true peak %+.2f dBTP",
                                p.overallSamplePeakDbfs, p.truePeakDbtp);
    std::string levels(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (p.clampedSamples == 0) return levels;
    return "clipped " + std::to_string(p.clampedSamples) +
           (p.clampedSamples == 1 ? " sample, " : " samples, ") + levels;
}

std::string DescribeFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const WobblyBecause& w) {
        return std::string("failed: ") + w.what();
    } catch (const Wobbly&) {
        return "failed";
    } catch (const std::exception& e) {
        std::string text = e.what();
        try {
            std::rethrow_if_nested(e);
        } catch (...) {
            text += ": " + DescribeFailure(std::current_exception());
        }
        return text;
    } catch (...) {
        return "failed";
    }
}
