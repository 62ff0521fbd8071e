// libFuzzer target: the settings-field parsers and the settings model fed a
// sequence of edits, then the resampling plan for whatever they stored.
// ReadDecimal and ReadInteger are checked against the C library's strtod and
// strtol on the texts where both must agree.

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "dsp/ResamplingChain.h"
#include "job/Conversion.h"
#include "job/SettingsModel.h"

namespace {

// Only white space, signs, digits, points and exponent letters: texts where
// ReadDecimal reads exactly what strtod reads.
bool PlainDecimal(const std::string& t) {
    for (char c : t)
        if (!std::strchr(" \t\n\v\f\r+-.0123456789eE", c) || c == '\0') return false;
    return true;
}

void CheckParsers(const std::string& text) {
    const double d = ReadDecimal(text);
    if (std::isnan(d)) std::abort();
    if (PlainDecimal(text)) {
        const double c = std::strtod(text.c_str(), nullptr);
        // Results the double cannot hold exactly may read as 0 (below DBL_MIN).
        if (d != c && !(d == 0.0 && std::fabs(c) < DBL_MIN)) std::abort();
    }
    const int i = ReadInteger(text);
    errno = 0;
    long l = std::strtol(text.c_str(), nullptr, 10);
    if (l > INT_MAX) l = INT_MAX;
    if (l < INT_MIN) l = INT_MIN;
    if (text.find('\0') == std::string::npos && i != l) std::abort();
}

void CheckStored(const SettingsModel& m) {
    const ConversionSettings& s = m.settings();
    for (double v : {s.syncOffset, s.basebandMax, s.stopbandMin, s.gain, s.speed})
        if (std::isnan(v)) std::abort();
    if (std::isnan(m.outputRate())) std::abort();
    for (int id = ControlId::kFirstField; id <= ControlId::kLastField; ++id)
        (void)m.FormatField(id);
}

// What a conversion of a 44100 Hz input would plan with these settings.
void Plan(const SettingsModel& m) {
    ConversionSettings s = m.settings();
    try {
        CheckConversionSettings(s, m.outputRate());
    } catch (const std::invalid_argument&) {
        return;
    }
    float in = 44100.0f, out = m.outputRate();
    if (out == 0.0f) {  // relabelled by the speed, which is then applied once
        in = static_cast<float>(44100.0 * s.speed);
        out = in;
        s.speed = 1.0;
    }
    DSP::ResamplingSettings d = DesignSettings(s);
    if (!d.snrDb) d.snrDb = DefaultSnrDb(m.outputFormat().lowByte);
    try {
        DSP::ResamplingPlan p = DSP::planResampling(in, d, out);
        if (!(p.inputRate > 0) || std::isnan(p.basebandMax) || std::isnan(p.stopbandMin))
            std::abort();
    } catch (const std::invalid_argument&) {
    } catch (const std::length_error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    SettingsModel m;
    m.Initialise();
    CheckStored(m);
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange(0, 7);
        const int id = in.ConsumeIntegralInRange(ControlId::kFirstField, ControlId::kLastField);
        switch (op) {
            case 0:
            case 1: {
                const std::string text = in.ConsumeRandomLengthString(64);
                CheckParsers(text);
                m.OnFieldChanged(id, text);
                break;
            }
            case 2:
                m.UpdateField(id);
                break;
            case 3:
                m.OnSampleTypeChosen(in.ConsumeIntegralInRange(-1, 7));
                break;
            case 4: {
                const int entry =
                    in.ConsumeIntegralInRange(0, static_cast<int>(kOutputRates.size()) - 1);
                m.OnRateChosen(kOutputRates[static_cast<std::size_t>(entry)]);
                break;
            }
            case 5:
                m.OnSnrBoxClicked(in.ConsumeBool());
                break;
            case 6:
                m.OnAliasRadioClicked(in.ConsumeBool());
                break;
            default:
                m.OnKeepPreRingClicked(in.ConsumeBool());
                break;
        }
        CheckStored(m);
    }
    Plan(m);
    return 0;
}
