#pragma once

// The conversion settings as the user edits them, without any window toolkit.
//
// The model holds the settings record, the requested output rate and sample type, and the state
// of the controls the field rules touch (texts of the edit fields 1003-1011, enabled flags of
// 1007/1009/1011, the sample-type selection, the SNR box, the alias radios, the keep-pre-ring
// box). A front end forwards the user's edits (OnFieldChanged, UpdateField on focus loss, the
// On...Chosen/Clicked calls) and mirrors every write the model makes through the Observer hooks.
// A command-line front end feeds option texts through the same calls and reads the getters.
//
// Writes the model makes itself happen with `updatingControls` set; a change notification that
// arrives meanwhile (a widget echoing the text it was just given) is ignored.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "job/ConversionSettings.h"
#include "job/Request.h"

// Control identifiers of the main dialog.
namespace ControlId {
inline constexpr int kFileList = 1000;
inline constexpr int kKeepPreRing = 1001;        // check box
inline constexpr int kSampleType = 1002;         // drop-down list
inline constexpr int kRate = 1003;               // editable combo, Hz
inline constexpr int kSpeed = 1004;              // edit, %
inline constexpr int kGain = 1005;               // edit, dB
inline constexpr int kSyncOffset = 1006;         // edit, output samples
inline constexpr int kBasebandPrespeed = 1007;   // edit, Hz before the speed change
inline constexpr int kBasebandPostspeed = 1008;  // edit, Hz after the speed change
inline constexpr int kStopbandPrespeed = 1009;
inline constexpr int kStopbandPostspeed = 1010;
inline constexpr int kSnr = 1011;             // edit, dB
inline constexpr int kNoAliasing = 1012;      // radio
inline constexpr int kAliasGuardBand = 1013;  // radio
inline constexpr int kSnrBox = 1014;          // check box
inline constexpr int kAbortAll = 1016;
inline constexpr int kClear = 1017;
inline constexpr int kAddFiles = 1018;

// The edit fields with a text rule: kRate .. kSnr.
inline constexpr int kFirstField = kRate;
inline constexpr int kLastField = kSnr;
}  // namespace ControlId

// The rate list of control 1003, in list order (Hz).
inline constexpr std::array<std::string_view, 15> kOutputRates{
    "32000",  "44100",  "48000",  "88200",   "96000",   "176400",  "192000", "352800",
    "384000", "705600", "768000", "1411200", "1536000", "2822400", "3072000"};

// Default SNR of the sample type with this low byte; 0 for a low byte not in kSampleTypes.
std::uint32_t DefaultSnrDb(std::uint8_t lowByte);

// Reads a number the way C atof reads one, on any text and in any locale: leading white space,
// an optional sign, then the longest decimal floating-point prefix ("12.5abc" gives 12.5).
// Text without such a prefix reads 0, and so do "inf", "infinity" and "nan" (nobody types them
// to mean a setting; they would poison every later computation). Hexadecimal is not read
// ("0x10" gives 0). A number too large for a double reads +-infinity, one too small +-0.
// Never NaN.
double ReadDecimal(std::string_view text);

// Reads an integer the way C atoi reads one (white space, sign, digits; no number gives 0),
// except that a value outside the int range saturates at INT_MIN/INT_MAX instead of being
// undefined.
int ReadInteger(std::string_view text);


// The field rules store what the user typed, so absurd settings can be stored (negative or
// infinite speed, an infinite gain, a negative output rate, ...) but never NaN. This says
// whether a conversion can run with them: Validate on a request with these settings and rate.
void CheckConversionSettings(const ConversionSettings& settings, float outputRate);

// What the user wants done when an output's name is already taken by a file. Ask is the window's:
// it asks once per batch and submits the batch with the answer (Replace or Skip).
enum class ExistingOutputChoice { Replace, Skip, Ask };

// "replace", "skip", "ask".
std::string_view ExistingOutputChoiceName(ExistingOutputChoice choice);
std::optional<ExistingOutputChoice> ParseExistingOutputChoice(std::string_view name);

class SettingsModel {
public:
    // Hooks a front end sets to mirror the model into its widgets. Each may be empty.
    struct Observer {
        std::function<void(int id, const std::string& text)> textWritten;  // 1003-1011
        std::function<void(int id, bool enabled)> enabledChanged;          // 1007, 1009, 1011
        std::function<void(int id, bool checked)> checkChanged;            // 1001, 1012, 1013, 1014
        std::function<void(int id, int index)> selectionChanged;  // 1002: -1 or kSampleTypes
    };

    // Settings at their defaults, controls as created (no texts yet). Call Initialise next.
    SettingsModel();

    void SetObserver(Observer observer) { observer_ = std::move(observer); }

    // Writes every field from the settings, in the dialog's initialisation order, and sets the
    // radios and enabled flags. With the defaults the fields read "44100", int16, "100.000",
    // "0.000", "0.000", "20000.00" twice (prespeed disabled), two empty stopband fields and
    // "97" (disabled); No aliasing is checked.
    void Initialise();

    // The text field `id` (1003-1011) shows for the current settings. Throws
    // std::invalid_argument for another id.
    std::string FormatField(int id) const;

    // The user changed the text of field `id` (1003-1011) to `text`: the field keeps the text
    // and the setting behind it is updated; dependent fields are rewritten. Ignored while the
    // model is writing controls itself. Throws std::invalid_argument for another id.
    void OnFieldChanged(int id, std::string_view text);

    // Rewrites control `id` from the settings (focus lost, or a dependent field): 1003-1011 get
    // FormatField, 1002 the matching sample type, 1012/1013 the radio of aliasGuardBand. An SNR
    // below 30 dB is replaced by the sample type's default here, as that is what the field
    // shows. Throws std::invalid_argument for another id.
    void UpdateField(int id);

    // Selection of 1002 changed: `index` into kSampleTypes, or -1 for no selection (int16). An
    // index past the list counts as no selection. With the SNR box clear, the SNR follows the
    // new type's default.
    void OnSampleTypeChosen(int index);

    // An entry of the rate list was picked; `entryText` is that entry's text (the edit part of
    // the combo is not reread). The combo's text becomes the entry's.
    void OnRateChosen(std::string_view entryText);

    // Box 1014 toggled: the SNR edit is enabled exactly when it is checked; clearing it sets
    // the SNR to the sample type's default.
    void OnSnrBoxClicked(bool checked);

    // A radio was clicked; `guardBandChecked` tells whether 1013 is now the checked one.
    void OnAliasRadioClicked(bool guardBandChecked);

    // Box 1001 toggled: the pre-ring is cropped exactly when the box is clear.
    void OnKeepPreRingClicked(bool checked);

    // Delivery settings (no control of the dialog's; a front end binds its own widgets).
    // Seed of the dither generator; none: a new one per job.
    void SetDitherSeed(std::optional<std::uint64_t> seed) { settings_.ditherSeed = seed; }
    // Convert again with a lower gain when the output clips.
    void SetPreventClipping(bool on) { settings_.preventClipping = on; }
    bool preventClipping() const { return settings_.preventClipping; }
    // A true-peak ceiling, dBTP (kDefaultCeilingDbtp is the usual choice); none: the limit is
    // full scale, measured on the samples.
    void SetCeilingDbtp(std::optional<double> dbtp) { settings_.ceilingDbtp = dbtp; }
    // A clipping output fails its job.
    void SetFailOnClip(bool on) { settings_.failOnClip = on; }
    // Trim to the input's length: round(N x fs_out / (fs_in x speed)) frames.
    void SetExactLength(bool on) { settings_.exactLength = on; }
    bool exactLength() const { return settings_.exactLength; }
    void SetCopyMetadata(bool on) { settings_.copyMetadata = on; }
    bool copyMetadata() const { return settings_.copyMetadata; }

    const ConversionSettings& settings() const { return settings_; }
    float outputRate() const { return outputRate_; }  // Hz; 0 = as the input x speed
    const OutputFormatBytes& outputFormat() const { return outputFormat_; }
    SampleType sampleType() const;
    // The settings, rate, sample type and output choices as a request. Ask becomes Replace here:
    // the front end that asks puts the answer into the request.
    ConversionRequest request() const;

    // The output group. None of them touches a field's text.
    void SetContainer(Container container) { container_ = container; }
    Container container() const { return container_; }
    // None: each output next to its input.
    void SetOutputFolder(std::optional<Filesystem::Path> folder) { outputFolder_ = std::move(folder); }
    const std::optional<Filesystem::Path>& outputFolder() const { return outputFolder_; }
    void SetExistingOutputs(ExistingOutputChoice choice) { existingOutputs_ = choice; }
    ExistingOutputChoice existingOutputs() const { return existingOutputs_; }

    // The settings to remember between runs, as key and text, in a fixed order. Restore gives
    // them back through the same rules a user's edits go through (then rewrites every control),
    // so a remembered value can never be one the fields would not take; a missing key or a value
    // that does not parse keeps what the model has.
    using SavedValues = std::vector<std::pair<std::string, std::string>>;
    SavedValues Saved() const;
    void Restore(const std::function<std::optional<std::string>(std::string_view key)>& lookup);
    // Every setting back to its default and every control rewritten; the observer stays.
    void ResetToDefaults();

    // Text of field `id` (1003-1011) as the control holds it. Throws std::invalid_argument for
    // another id.
    const std::string& controlText(int id) const;
    // Enabled state of 1007, 1009 or 1011; every other control is always enabled here.
    bool isEnabled(int id) const;
    int sampleTypeIndex() const { return sampleTypeIndex_; }  // -1 or into kSampleTypes
    bool snrBoxChecked() const { return snrBoxChecked_; }
    bool guardBandRadioChecked() const { return guardBandChecked_; }  // 1013; else 1012
    bool keepPreRingChecked() const { return keepPreRingChecked_; }
    bool updatingControls() const { return updatingControls_; }

private:
    class UpdatingScope;

    void WriteText(int id, std::string text);
    void SetEnabled(int id, bool enabled);
    void ApplyBandEdge(int id, std::string_view text);
    void MirrorRadiosAndChecks();
    void EnablePrespeedFields();
    static std::size_t FieldSlot(int id);

    ConversionSettings settings_;
    float outputRate_ = 44100.0f;
    OutputFormatBytes outputFormat_;
    bool updatingControls_ = false;

    std::array<std::string, ControlId::kLastField - ControlId::kFirstField + 1> texts_;
    bool basebandPrespeedEnabled_ = true;
    bool stopbandPrespeedEnabled_ = true;
    bool snrEnabled_ = false;
    int sampleTypeIndex_ = -1;
    bool snrBoxChecked_ = false;
    bool guardBandChecked_ = false;
    bool keepPreRingChecked_ = false;

    Container container_ = Container::Wave;
    std::optional<Filesystem::Path> outputFolder_;
    ExistingOutputChoice existingOutputs_ = ExistingOutputChoice::Replace;

    Observer observer_;
};
