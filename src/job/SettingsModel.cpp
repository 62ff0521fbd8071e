#include "job/SettingsModel.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kDbPerNeper = 8.685889638065035;    // 20 / ln 10
constexpr double kNeperPerDb = 0.11512925464970229;  // ln 10 / 20
constexpr std::uint32_t kLowestShownSnrDb = 30;

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Leading white space and an optional sign removed; returns true for "-".
bool TakeSpaceAndSign(std::string_view& t) {
    while (!t.empty() && IsCSpace(t.front())) t.remove_prefix(1);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    return negative;
}

// Decimal exponent of the first nonzero digit of the unsigned decimal number `t` (digits, an
// optional fraction and an optional exponent, as from_chars matched it), saturated far beyond the
// double range. Tells an overflowing number from an underflowing one.
long long LeadingDecimalExponent(std::string_view t) {
    constexpr long long kLimit = 1LL << 40;
    std::size_t intDigits = 0;
    while (intDigits < t.size() && IsDigit(t[intDigits])) ++intDigits;
    long long leading = 0;
    bool found = false;
    for (std::size_t i = 0; i < intDigits && !found; ++i) {
        if (t[i] != '0') {
            leading = static_cast<long long>(
                std::min<std::size_t>(intDigits - i - 1, static_cast<std::size_t>(kLimit)));
            found = true;
        }
    }
    std::size_t i = intDigits;
    if (i < t.size() && t[i] == '.') {
        long long position = -1;
        for (++i; i < t.size() && IsDigit(t[i]); ++i) {
            if (!found && t[i] != '0') {
                leading = position;
                found = true;
            }
            if (position > -kLimit) --position;
        }
    }
    if (i + 1 < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool negative = t[i] == '-';
        if (t[i] == '+' || t[i] == '-') ++i;
        long long exponent = 0;
        for (; i < t.size() && IsDigit(t[i]); ++i)
            exponent = std::min(exponent * 10 + (t[i] - '0'), kLimit);
        leading += negative ? -exponent : exponent;
    }
    return leading;
}

std::string FormatFixed(double value, int decimals) {
    char buffer[512];  // %.3f of the largest double needs 313 characters
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}

std::string FormatG8(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 8);
    return std::string(buffer, result.ptr);
}

bool IsUnset(double bandEdge) {
    return bandEdge == kInfinity;
}

// A number read from the rate field as the float the tag holds; out-of-range values become
// infinities instead of an undefined conversion, and -0 becomes 0.
float ToRate(double value) {
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    if (value > kFloatMax) return std::numeric_limits<float>::infinity();
    if (value < -kFloatMax) return -std::numeric_limits<float>::infinity();
    if (value == 0.0) return 0.0f;
    return static_cast<float>(value);
}

bool IsPrespeed(int id) {
    return id == ControlId::kBasebandPrespeed || id == ControlId::kStopbandPrespeed;
}

bool IsBaseband(int id) {
    return id == ControlId::kBasebandPrespeed || id == ControlId::kBasebandPostspeed;
}

int PartnerField(int id) {
    switch (id) {
        case ControlId::kBasebandPrespeed:
            return ControlId::kBasebandPostspeed;
        case ControlId::kBasebandPostspeed:
            return ControlId::kBasebandPrespeed;
        case ControlId::kStopbandPrespeed:
            return ControlId::kStopbandPostspeed;
        default:
            return ControlId::kStopbandPrespeed;
    }
}

}  // namespace

std::uint32_t DefaultSnrDb(std::uint8_t lowByte) {
    for (const SampleTypeChoice& choice : kSampleTypes)
        if (choice.format.lowByte == lowByte) return choice.defaultSnrDb;
    return 0;
}

double ReadDecimal(std::string_view text) {
    const bool negative = TakeSpaceAndSign(text);
    // A digit, or a point followed by a digit, must come first: this rejects "inf", "nan",
    // "+-1" and the like, which from_chars would otherwise take.
    const bool startsNumber =
        !text.empty() &&
        (IsDigit(text[0]) || (text[0] == '.' && text.size() > 1 && IsDigit(text[1])));
    if (!startsNumber) return 0.0;
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        const std::string_view matched =
            text.substr(0, static_cast<std::size_t>(end - text.data()));
        value = LeadingDecimalExponent(matched) > 0 ? kInfinity : 0.0;
    } else if (error != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

int ReadInteger(std::string_view text) {
    const bool negative = TakeSpaceAndSign(text);
    constexpr long long kSaturation = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (std::size_t i = 0; i < text.size() && IsDigit(text[i]); ++i)
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kSaturation);
    const long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);  // -kSaturation is INT_MIN
}

void CheckConversionSettings(const ConversionSettings& settings, float outputRate) {
    ConversionRequest request;
    request.settings = settings;
    request.outputRate = outputRate;
    Validate(request);
}

namespace {

constexpr std::array<std::string_view, 3> kExistingOutputChoices{"replace", "skip", "ask"};

}  // namespace

std::string_view ExistingOutputChoiceName(ExistingOutputChoice choice) {
    return kExistingOutputChoices.at(static_cast<std::size_t>(choice));
}

std::optional<ExistingOutputChoice> ParseExistingOutputChoice(std::string_view name) {
    for (std::size_t i = 0; i < kExistingOutputChoices.size(); ++i)
        if (kExistingOutputChoices[i] == name) return static_cast<ExistingOutputChoice>(i);
    return std::nullopt;
}

ConversionRequest SettingsModel::request() const {
    ConversionRequest r;
    r.settings = settings_;
    r.outputRate = outputRate_;
    r.sampleType = sampleType();
    r.container = container_;
    r.outputFolder = outputFolder_;
    r.ifExists =
        existingOutputs_ == ExistingOutputChoice::Skip ? IfExists::Skip : IfExists::Replace;
    return r;
}

SettingsModel::SavedValues SettingsModel::Saved() const {
    using namespace ControlId;
    const auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    SavedValues v;
    v.emplace_back("sampleType", std::string(SampleTypeName(sampleType())));
    v.emplace_back("rate", FormatField(kRate));
    v.emplace_back("speed", FormatField(kSpeed));
    v.emplace_back("gain", FormatField(kGain));
    v.emplace_back("syncOffset", FormatField(kSyncOffset));
    v.emplace_back("baseband", FormatField(kBasebandPostspeed));  // "" = unset
    v.emplace_back("stopband", FormatField(kStopbandPostspeed));
    v.emplace_back("snrBox", flag(snrBoxChecked_));
    v.emplace_back("snr", std::to_string(settings_.snrDb));
    v.emplace_back("aliasGuardBand", flag(guardBandChecked_));
    v.emplace_back("keepPreRing", flag(keepPreRingChecked_));
    v.emplace_back("container", std::string(ContainerName(container_)));
    v.emplace_back("outputFolder", outputFolder_ ? outputFolder_->NativeText() : std::string());
    v.emplace_back("existingOutputs", std::string(ExistingOutputChoiceName(existingOutputs_)));
    v.emplace_back("preventClipping", flag(settings_.preventClipping));
    v.emplace_back("exactLength", flag(settings_.exactLength));
    v.emplace_back("copyMetadata", flag(settings_.copyMetadata));
    return v;
}

void SettingsModel::Restore(
    const std::function<std::optional<std::string>(std::string_view key)>& lookup) {
    using namespace ControlId;
    if (const auto v = lookup("sampleType"))
        if (const auto type = ParseSampleType(*v)) OnSampleTypeChosen(static_cast<int>(*type));
    for (auto [key, id] : {std::pair{"rate", kRate}, {"speed", kSpeed}, {"gain", kGain},
                           {"syncOffset", kSyncOffset}})
        if (const auto v = lookup(key)) OnFieldChanged(id, *v);
    // The edges keep baseband <= stopband at every step: the stop band is unset first.
    const auto baseband = lookup("baseband");
    const auto stopband = lookup("stopband");
    if (baseband || stopband) {
        const std::string stopbandNow = FormatField(kStopbandPostspeed);
        OnFieldChanged(kStopbandPostspeed, "");
        if (baseband) OnFieldChanged(kBasebandPostspeed, *baseband);
        OnFieldChanged(kStopbandPostspeed, stopband ? *stopband : stopbandNow);
    }
    if (const auto v = lookup("snrBox"); v && *v == "1") {
        OnSnrBoxClicked(true);
        if (const auto snr = lookup("snr")) OnFieldChanged(kSnr, *snr);
    }
    if (const auto v = lookup("aliasGuardBand")) OnAliasRadioClicked(*v == "1");
    if (const auto v = lookup("keepPreRing")) OnKeepPreRingClicked(*v == "1");
    if (const auto v = lookup("container"))
        if (const auto c = ParseContainer(*v)) container_ = *c;
    if (const auto v = lookup("outputFolder")) {
        outputFolder_.reset();
        if (!v->empty()) {
            try {
                outputFolder_ = Filesystem::Path::FromNative(*v, Filesystem::Path::Kind::Directory);
            } catch (const std::exception&) {
            }
        }
    }
    if (const auto v = lookup("existingOutputs"))
        if (const auto c = ParseExistingOutputChoice(*v)) existingOutputs_ = *c;
    if (const auto v = lookup("preventClipping")) settings_.preventClipping = *v == "1";
    if (const auto v = lookup("exactLength")) settings_.exactLength = *v == "1";
    if (const auto v = lookup("copyMetadata")) settings_.copyMetadata = *v == "1";

    for (int id = kFirstField; id <= kLastField; ++id) UpdateField(id);
    UpdateField(kSampleType);
    MirrorRadiosAndChecks();
}

// The radios, check boxes and enabled fields, as the settings stand.
void SettingsModel::MirrorRadiosAndChecks() {
    using namespace ControlId;
    UpdateField(kAliasGuardBand);
    EnablePrespeedFields();
    SetEnabled(kSnr, snrBoxChecked_);
    if (observer_.checkChanged) {
        observer_.checkChanged(kKeepPreRing, keepPreRingChecked_);
        observer_.checkChanged(kSnrBox, snrBoxChecked_);
    }
}

void SettingsModel::ResetToDefaults() {
    Observer observer = std::move(observer_);
    *this = SettingsModel();
    observer_ = std::move(observer);
    Initialise();
}

SampleType SettingsModel::sampleType() const {
    for (std::size_t i = 0; i < kSampleTypes.size(); ++i)
        if (kSampleTypes[i].format == outputFormat_) return static_cast<SampleType>(i);
    return SampleType::Int16;
}

// Sets updatingControls for its lifetime and restores the previous value.
class SettingsModel::UpdatingScope {
public:
    explicit UpdatingScope(SettingsModel& model) : model_(model), saved_(model.updatingControls_) {
        model_.updatingControls_ = true;
    }
    ~UpdatingScope() { model_.updatingControls_ = saved_; }
    UpdatingScope(const UpdatingScope&) = delete;
    UpdatingScope& operator=(const UpdatingScope&) = delete;

private:
    SettingsModel& model_;
    bool saved_;
};

SettingsModel::SettingsModel() {
    keepPreRingChecked_ = !settings_.cropPreRing;
    guardBandChecked_ = settings_.aliasGuardBand;
}

std::size_t SettingsModel::FieldSlot(int id) {
    if (id < ControlId::kFirstField || id > ControlId::kLastField)
        throw std::invalid_argument("control " + std::to_string(id) + " is not a settings field");
    return static_cast<std::size_t>(id - ControlId::kFirstField);
}

void SettingsModel::Initialise() {
    using namespace ControlId;
    for (int id : {kRate, kSampleType, kBasebandPrespeed, kBasebandPostspeed, kStopbandPrespeed,
                   kStopbandPostspeed, kSpeed, kGain, kSyncOffset})
        UpdateField(id);
    if (settings_.snrDb == 0) settings_.snrDb = DefaultSnrDb(outputFormat_.lowByte);
    UpdateField(kSnr);
    MirrorRadiosAndChecks();
}

std::string SettingsModel::FormatField(int id) const {
    using namespace ControlId;
    FieldSlot(id);
    const ConversionSettings& s = settings_;
    switch (id) {
        case kRate:
            return FormatG8(static_cast<double>(outputRate_));
        case kSpeed:
            return FormatFixed(s.speed * 100.0, 3);
        case kGain:
            return FormatFixed(std::log(s.gain) * kDbPerNeper, 3);
        case kSyncOffset:
            return FormatFixed(s.syncOffset, 3);
        case kBasebandPrespeed:
            return IsUnset(s.basebandMax) ? std::string() : FormatFixed(s.basebandMax / s.speed, 2);
        case kBasebandPostspeed:
            return IsUnset(s.basebandMax) ? std::string() : FormatFixed(s.basebandMax, 2);
        case kStopbandPrespeed:
            return IsUnset(s.stopbandMin) ? std::string() : FormatFixed(s.stopbandMin / s.speed, 2);
        case kStopbandPostspeed:
            return IsUnset(s.stopbandMin) ? std::string() : FormatFixed(s.stopbandMin, 2);
        default:  // kSnr
            return std::to_string(
                s.snrDb >= kLowestShownSnrDb ? s.snrDb : DefaultSnrDb(outputFormat_.lowByte));
    }
}

void SettingsModel::OnFieldChanged(int id, std::string_view text) {
    using namespace ControlId;
    const std::size_t slot = FieldSlot(id);
    if (updatingControls_) return;
    texts_[slot] = std::string(text);
    switch (id) {
        case kRate:
            outputRate_ = ToRate(ReadDecimal(text));
            break;
        case kSpeed: {
            // A product that underflows to 0 is treated like a typed 0: speed must stay nonzero.
            const double speed = ReadDecimal(text) * 0.01;
            settings_.speed = speed == 0.0 ? 1.0 : speed;
            UpdatingScope scope(*this);
            EnablePrespeedFields();
            WriteText(kBasebandPrespeed, FormatField(kBasebandPrespeed));
            WriteText(kStopbandPrespeed, FormatField(kStopbandPrespeed));
            break;
        }
        case kGain:
            settings_.gain = std::exp(ReadDecimal(text) * kNeperPerDb);
            break;
        case kSyncOffset:
            settings_.syncOffset = ReadDecimal(text);
            break;
        case kSnr: {
            const int snr = ReadInteger(text);
            settings_.snrDb = snr < 0 ? 0u : static_cast<std::uint32_t>(snr);
            break;
        }
        default:
            ApplyBandEdge(id, text);
            break;
    }
}

void SettingsModel::ApplyBandEdge(int id, std::string_view text) {
    // 0 (or no number) means unset, whatever the speed; a prespeed value is converted to Hz after
    // the speed change. Speed is never 0 or NaN, so the product is never NaN and the clamps
    // below keep basebandMax <= stopbandMin where both are set. An unset edge bounds nothing:
    // a stop band under an unset pass band was raised to "unset" (the filter it asked for was
    // dropped without a word), and unsetting the pass band under a stop band set it to it.
    const double number = ReadDecimal(text);
    double v = kInfinity;
    if (number != 0.0) v = IsPrespeed(id) ? number * settings_.speed : number;
    if (IsBaseband(id)) {
        settings_.basebandMax =
            v <= settings_.stopbandMin || v == kInfinity ? v : settings_.stopbandMin;
    } else {
        settings_.stopbandMin = settings_.basebandMax <= v || settings_.basebandMax == kInfinity
                                    ? v
                                    : settings_.basebandMax;
    }
    UpdateField(PartnerField(id));
}

void SettingsModel::UpdateField(int id) {
    using namespace ControlId;
    UpdatingScope scope(*this);
    switch (id) {
        case kNoAliasing:
        case kAliasGuardBand:
            guardBandChecked_ = settings_.aliasGuardBand;
            if (observer_.checkChanged) {
                observer_.checkChanged(kAliasGuardBand, guardBandChecked_);
                observer_.checkChanged(kNoAliasing, !guardBandChecked_);
            }
            return;
        case kSampleType: {
            sampleTypeIndex_ = kDefaultSampleTypeIndex;
            for (std::size_t i = 0; i < kSampleTypes.size(); ++i) {
                if (kSampleTypes[i].format == outputFormat_) {
                    sampleTypeIndex_ = static_cast<int>(i);
                    break;
                }
            }
            if (observer_.selectionChanged)
                observer_.selectionChanged(kSampleType, sampleTypeIndex_);
            return;
        }
        case kSnr:
            // The field cannot show an SNR below 30 dB (it shows the type's default instead), so
            // the stored value follows what is shown rather than silently differing from it.
            if (settings_.snrDb < kLowestShownSnrDb)
                settings_.snrDb = DefaultSnrDb(outputFormat_.lowByte);
            WriteText(kSnr, FormatField(kSnr));
            return;
        case kSpeed:
        case kGain:
        case kSyncOffset: {
            // The value used is the one shown: typed with more decimals than the field shows
            // (or beyond what it can show, as an infinite gain), it becomes what is shown.
            const double shown = ReadDecimal(FormatField(id));
            const bool speedChanges =
                id == kSpeed && shown != 0.0 && shown * 0.01 != settings_.speed;
            if (speedChanges) settings_.speed = shown * 0.01;
            if (id == kGain) settings_.gain = std::exp(shown * kNeperPerDb);
            if (id == kSyncOffset) settings_.syncOffset = shown;
            WriteText(id, FormatField(id));
            if (speedChanges) {
                EnablePrespeedFields();
                WriteText(kBasebandPrespeed, FormatField(kBasebandPrespeed));
                WriteText(kStopbandPrespeed, FormatField(kStopbandPrespeed));
            }
            return;
        }
        default:
            FieldSlot(id);
            WriteText(id, FormatField(id));
            return;
    }
}

void SettingsModel::OnSampleTypeChosen(int index) {
    if (updatingControls_) return;
    if (index >= 0 && index < static_cast<int>(kSampleTypes.size())) {
        outputFormat_ = kSampleTypes[static_cast<std::size_t>(index)].format;
        sampleTypeIndex_ = index;
    } else {
        outputFormat_ = OutputFormatBytes{};
        sampleTypeIndex_ = -1;
    }
    if (!snrBoxChecked_) {
        settings_.snrDb = DefaultSnrDb(outputFormat_.lowByte);
        UpdateField(ControlId::kSnr);
    }
}

void SettingsModel::OnRateChosen(std::string_view entryText) {
    if (updatingControls_) return;
    outputRate_ = ToRate(ReadDecimal(entryText));
    UpdatingScope scope(*this);
    WriteText(ControlId::kRate, std::string(entryText));
}

void SettingsModel::OnSnrBoxClicked(bool checked) {
    if (updatingControls_) return;
    snrBoxChecked_ = checked;
    SetEnabled(ControlId::kSnr, checked);
    if (!checked) {
        settings_.snrDb = DefaultSnrDb(outputFormat_.lowByte);
        UpdateField(ControlId::kSnr);
    }
}

void SettingsModel::OnAliasRadioClicked(bool guardBandChecked) {
    if (updatingControls_) return;
    guardBandChecked_ = guardBandChecked;
    settings_.aliasGuardBand = guardBandChecked;
}

void SettingsModel::OnKeepPreRingClicked(bool checked) {
    if (updatingControls_) return;
    keepPreRingChecked_ = checked;
    settings_.cropPreRing = !checked;
}

const std::string& SettingsModel::controlText(int id) const {
    return texts_[FieldSlot(id)];
}

bool SettingsModel::isEnabled(int id) const {
    switch (id) {
        case ControlId::kBasebandPrespeed:
            return basebandPrespeedEnabled_;
        case ControlId::kStopbandPrespeed:
            return stopbandPrespeedEnabled_;
        case ControlId::kSnr:
            return snrEnabled_;
        default:
            return true;
    }
}

void SettingsModel::WriteText(int id, std::string text) {
    std::string& stored = texts_[FieldSlot(id)];
    stored = std::move(text);
    if (observer_.textWritten) observer_.textWritten(id, stored);
}

void SettingsModel::SetEnabled(int id, bool enabled) {
    switch (id) {
        case ControlId::kBasebandPrespeed:
            basebandPrespeedEnabled_ = enabled;
            break;
        case ControlId::kStopbandPrespeed:
            stopbandPrespeedEnabled_ = enabled;
            break;
        default:
            snrEnabled_ = enabled;
            break;
    }
    if (observer_.enabledChanged) observer_.enabledChanged(id, enabled);
}

void SettingsModel::EnablePrespeedFields() {
    const bool enabled = settings_.speed != 1.0;
    SetEnabled(ControlId::kBasebandPrespeed, enabled);
    SetEnabled(ControlId::kStopbandPrespeed, enabled);
}
