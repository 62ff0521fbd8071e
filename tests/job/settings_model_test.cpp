#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "job/SettingsModel.h"

namespace {

using namespace ControlId;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A model after Initialise, recording every text the model writes.
struct Fixture {
    SettingsModel model;
    std::vector<std::pair<int, std::string>> written;

    Fixture() {
        SettingsModel::Observer observer;
        observer.textWritten = [this](int id, const std::string& text) {
            written.emplace_back(id, text);
        };
        model.SetObserver(std::move(observer));
        model.Initialise();
        written.clear();
    }

    // The user types `text` into field `id` and then leaves it.
    void Commit(int id, const std::string& text) {
        model.OnFieldChanged(id, text);
        model.UpdateField(id);
    }
};

TEST(SettingsModel, InitialisationShowsTheDefaults) {
    SettingsModel model;
    std::vector<int> order;
    SettingsModel::Observer observer;
    observer.textWritten = [&](int id, const std::string&) { order.push_back(id); };
    observer.selectionChanged = [&](int id, int) { order.push_back(id); };
    model.SetObserver(std::move(observer));
    model.Initialise();

    EXPECT_EQ(order, (std::vector<int>{kRate, kSampleType, kBasebandPrespeed, kBasebandPostspeed,
                                       kStopbandPrespeed, kStopbandPostspeed, kSpeed, kGain,
                                       kSyncOffset, kSnr}));
    EXPECT_EQ(model.controlText(kRate), "44100");
    EXPECT_EQ(kSampleTypes[static_cast<std::size_t>(model.sampleTypeIndex())].text, "int16");
    EXPECT_EQ(model.controlText(kSpeed), "100.000");
    EXPECT_EQ(model.controlText(kGain), "0.000");
    EXPECT_EQ(model.controlText(kSyncOffset), "0.000");
    EXPECT_EQ(model.controlText(kBasebandPrespeed), "20000.00");
    EXPECT_EQ(model.controlText(kBasebandPostspeed), "20000.00");
    EXPECT_EQ(model.controlText(kStopbandPrespeed), "");
    EXPECT_EQ(model.controlText(kStopbandPostspeed), "");
    EXPECT_EQ(model.controlText(kSnr), "97");
    EXPECT_EQ(model.settings().snrDb, 97u);
    EXPECT_FALSE(model.isEnabled(kBasebandPrespeed));
    EXPECT_FALSE(model.isEnabled(kStopbandPrespeed));
    EXPECT_FALSE(model.isEnabled(kSnr));
    EXPECT_FALSE(model.guardBandRadioChecked());
    EXPECT_FALSE(model.keepPreRingChecked());
    EXPECT_FLOAT_EQ(model.outputRate(), 44100.0f);
    EXPECT_EQ(model.outputFormat(), (OutputFormatBytes{0x22, 16, 0}));
}

TEST(SettingsModel, SpeedEnablesAndRewritesThePrespeedColumn) {
    Fixture f;
    f.Commit(kStopbandPostspeed, "22000");
    f.written.clear();

    f.model.OnFieldChanged(kSpeed, "50");
    EXPECT_DOUBLE_EQ(f.model.settings().speed, 0.5);
    EXPECT_TRUE(f.model.isEnabled(kBasebandPrespeed));
    EXPECT_TRUE(f.model.isEnabled(kStopbandPrespeed));
    EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "40000.00");
    EXPECT_EQ(f.model.controlText(kStopbandPrespeed), "44000.00");
    EXPECT_EQ(f.model.controlText(kBasebandPostspeed), "20000.00");
    EXPECT_EQ(f.model.controlText(kSpeed), "50");  // the edited field is not rewritten
    EXPECT_EQ(f.written, (std::vector<std::pair<int, std::string>>{
                             {kBasebandPrespeed, "40000.00"}, {kStopbandPrespeed, "44000.00"}}));

    // A prespeed edit is converted to Hz after the speed change.
    f.model.OnFieldChanged(kBasebandPrespeed, "30000");
    EXPECT_DOUBLE_EQ(f.model.settings().basebandMax, 15000.0);
    EXPECT_EQ(f.model.controlText(kBasebandPostspeed), "15000.00");
    EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "30000");

    for (const char* unset : {"0", "", "abc", "-0", "nan", "inf"}) {
        f.model.OnFieldChanged(kSpeed, "50");
        f.model.OnFieldChanged(kSpeed, unset);
        EXPECT_EQ(f.model.settings().speed, 1.0) << unset;
        EXPECT_FALSE(f.model.isEnabled(kBasebandPrespeed)) << unset;
        EXPECT_FALSE(f.model.isEnabled(kStopbandPrespeed)) << unset;
        EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "15000.00") << unset;
    }
    f.model.UpdateField(kSpeed);
    EXPECT_EQ(f.model.controlText(kSpeed), "100.000");

    // The prespeed column is rounded to hundredths of a hertz.
    f.model.OnFieldChanged(kSpeed, " 101abc");
    EXPECT_DOUBLE_EQ(f.model.settings().speed, 1.01);
    EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "14851.49");
}

TEST(SettingsModel, GainSyncAndRateFields) {
    Fixture f;
    f.model.OnFieldChanged(kGain, "6");
    EXPECT_NEAR(f.model.settings().gain, 1.9952623149688795, 1e-15);
    EXPECT_EQ(f.model.controlText(kGain), "6");
    f.model.UpdateField(kGain);
    EXPECT_EQ(f.model.controlText(kGain), "6.000");
    f.Commit(kGain, "-20.5");
    EXPECT_NEAR(f.model.settings().gain, std::pow(10.0, -20.5 / 20.0), 1e-15);
    EXPECT_EQ(f.model.controlText(kGain), "-20.500");

    f.Commit(kSyncOffset, "-1.25");
    EXPECT_EQ(f.model.settings().syncOffset, -1.25);
    EXPECT_EQ(f.model.controlText(kSyncOffset), "-1.250");

    f.Commit(kRate, "48000.5");
    EXPECT_FLOAT_EQ(f.model.outputRate(), 48000.5f);
    EXPECT_EQ(f.model.controlText(kRate), "48000.5");
    f.Commit(kRate, "123456789");
    EXPECT_EQ(f.model.controlText(kRate), "1.2345679e+08");
    f.Commit(kRate, "");  // an empty rate means "as the input", shown as 0
    EXPECT_EQ(f.model.outputRate(), 0.0f);
    EXPECT_EQ(f.model.controlText(kRate), "0");
    f.Commit(kRate, "-0");
    EXPECT_FALSE(std::signbit(f.model.outputRate()));
    EXPECT_EQ(f.model.controlText(kRate), "0");

    f.model.OnRateChosen("96000");
    EXPECT_FLOAT_EQ(f.model.outputRate(), 96000.0f);
    EXPECT_EQ(f.model.controlText(kRate), "96000");
}

TEST(SettingsModel, BandEdgesClampAndRewriteThePartner) {
    Fixture f;
    f.model.OnFieldChanged(kStopbandPostspeed, "25000");
    EXPECT_EQ(f.model.settings().stopbandMin, 25000.0);
    EXPECT_EQ(f.model.controlText(kStopbandPrespeed), "25000.00");

    f.model.OnFieldChanged(kBasebandPostspeed, "30000");
    EXPECT_EQ(f.model.settings().basebandMax, 25000.0);
    EXPECT_EQ(f.model.controlText(kBasebandPostspeed), "30000");
    EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "25000.00");

    // A stopband below the baseband is raised to it.
    f.Commit(kBasebandPostspeed, "18000");
    f.model.OnFieldChanged(kStopbandPrespeed, "100");
    EXPECT_EQ(f.model.settings().stopbandMin, 18000.0);
    EXPECT_EQ(f.model.controlText(kStopbandPostspeed), "18000.00");
    EXPECT_EQ(f.model.controlText(kStopbandPrespeed), "100");

    // Clearing a field, or typing 0, unsets it: both columns of that row become empty.
    f.model.OnFieldChanged(kStopbandPrespeed, "");
    EXPECT_EQ(f.model.settings().stopbandMin, kInf);
    EXPECT_EQ(f.model.controlText(kStopbandPostspeed), "");
    f.model.UpdateField(kStopbandPrespeed);
    EXPECT_EQ(f.model.controlText(kStopbandPrespeed), "");
    f.Commit(kBasebandPostspeed, "0");
    EXPECT_EQ(f.model.settings().basebandMax, kInf);
    EXPECT_EQ(f.model.controlText(kBasebandPrespeed), "");
    EXPECT_EQ(f.model.controlText(kBasebandPostspeed), "");

    // An unset pass band bounds no stop band, and unsetting it leaves the stop band alone.
    f.Commit(kStopbandPostspeed, "5000");
    EXPECT_EQ(f.model.settings().stopbandMin, 5000.0);
    EXPECT_EQ(f.model.settings().basebandMax, kInf);
    f.Commit(kBasebandPostspeed, "0");
    EXPECT_EQ(f.model.settings().basebandMax, kInf);
    EXPECT_EQ(f.model.settings().stopbandMin, 5000.0);
    f.Commit(kStopbandPostspeed, "0");

    // Unset stays unset at any speed, negative ones included.
    f.model.OnFieldChanged(kSpeed, "-50");
    f.model.OnFieldChanged(kBasebandPrespeed, "0");
    EXPECT_EQ(f.model.settings().basebandMax, kInf);
}

TEST(SettingsModel, SnrFollowsTheSampleTypeUnlessTheBoxIsChecked) {
    Fixture f;
    f.model.OnSampleTypeChosen(2);
    EXPECT_EQ(f.model.outputFormat(), (OutputFormatBytes{0x23, 24, 0}));
    EXPECT_EQ(f.model.settings().snrDb, 145u);
    EXPECT_EQ(f.model.controlText(kSnr), "145");

    f.model.OnSnrBoxClicked(true);
    EXPECT_TRUE(f.model.isEnabled(kSnr));
    f.model.OnFieldChanged(kSnr, "200");
    f.model.OnSampleTypeChosen(5);
    EXPECT_EQ(f.model.settings().snrDb, 200u);
    EXPECT_EQ(f.model.controlText(kSnr), "200");

    f.model.OnSnrBoxClicked(false);
    EXPECT_FALSE(f.model.isEnabled(kSnr));
    EXPECT_EQ(f.model.settings().snrDb, 326u);
    EXPECT_EQ(f.model.controlText(kSnr), "326");

    // No selection, or an index past the list, means int16.
    for (int index : {-1, 6, INT_MAX}) {
        f.model.OnSampleTypeChosen(0);
        f.model.OnSampleTypeChosen(index);
        EXPECT_EQ(f.model.outputFormat(), (OutputFormatBytes{0x22, 16, 0}));
        EXPECT_EQ(f.model.sampleTypeIndex(), -1);
        EXPECT_EQ(f.model.settings().snrDb, 97u);
        f.model.UpdateField(kSampleType);
        EXPECT_EQ(f.model.sampleTypeIndex(), 1);
    }
}

TEST(SettingsModel, LowSnrIsStoredWhileTypedAndReplacedWhenShown) {
    Fixture f;
    f.model.OnSnrBoxClicked(true);
    f.model.OnFieldChanged(kSnr, "12");
    EXPECT_EQ(f.model.settings().snrDb, 12u);
    EXPECT_EQ(f.model.controlText(kSnr), "12");
    f.model.UpdateField(kSnr);
    // The field cannot show 12; what it shows is what a job gets.
    EXPECT_EQ(f.model.controlText(kSnr), "97");
    EXPECT_EQ(f.model.settings().snrDb, 97u);

    f.Commit(kSnr, "30");
    EXPECT_EQ(f.model.settings().snrDb, 30u);
    EXPECT_EQ(f.model.controlText(kSnr), "30");
    f.model.OnFieldChanged(kSnr, "-5");  // read as no SNR, not as 2^32 - 5
    EXPECT_EQ(f.model.settings().snrDb, 0u);
    f.model.OnFieldChanged(kSnr, "99999999999999999999");
    EXPECT_EQ(f.model.settings().snrDb, static_cast<std::uint32_t>(INT_MAX));
}

TEST(SettingsModel, WritesOfTheModelAreNotTakenForUserEdits) {
    // A widget that echoes every text it is given back as a change notification, the way edit
    // controls do, must not feed the model: the echo arrives while the model is writing.
    SettingsModel model;
    int echoes = 0;
    SettingsModel::Observer observer;
    observer.textWritten = [&](int id, const std::string&) {
        ++echoes;
        EXPECT_TRUE(model.updatingControls());
        model.OnFieldChanged(id, "12345");
        model.OnSampleTypeChosen(0);
        model.OnSnrBoxClicked(true);
    };
    model.SetObserver(std::move(observer));
    model.Initialise();
    model.OnFieldChanged(kSpeed, "50");
    model.OnFieldChanged(kBasebandPostspeed, "19000");
    EXPECT_GT(echoes, 10);
    EXPECT_FALSE(model.updatingControls());
    EXPECT_FLOAT_EQ(model.outputRate(), 44100.0f);
    EXPECT_EQ(model.outputFormat(), (OutputFormatBytes{0x22, 16, 0}));
    EXPECT_FALSE(model.snrBoxChecked());
    EXPECT_DOUBLE_EQ(model.settings().speed, 0.5);
    EXPECT_EQ(model.settings().basebandMax, 19000.0);
    EXPECT_EQ(model.controlText(kBasebandPrespeed), "38000.00");
}

TEST(SettingsModel, UnknownControlIdsAreRejected) {
    Fixture f;
    EXPECT_THROW(f.model.OnFieldChanged(kSampleType, "1"), std::invalid_argument);
    EXPECT_THROW((void)f.model.FormatField(999), std::invalid_argument);
    EXPECT_THROW(f.model.UpdateField(kAddFiles), std::invalid_argument);
    EXPECT_THROW((void)f.model.controlText(kFileList), std::invalid_argument);
}

TEST(ReadDecimal, ReadsLikeAtofWithoutItsHazards) {
    EXPECT_EQ(ReadDecimal("12.5abc"), 12.5);
    EXPECT_EQ(ReadDecimal(" \t\n+3"), 3.0);
    EXPECT_EQ(ReadDecimal("-.5"), -0.5);
    EXPECT_EQ(ReadDecimal("1.e3"), 1000.0);
    EXPECT_EQ(ReadDecimal("2e"), 2.0);
    EXPECT_EQ(ReadDecimal("7e+1x"), 70.0);
    EXPECT_TRUE(std::signbit(ReadDecimal("-0")));
    for (const char* none : {"", "-", "+", ".", "+-1", "--1", "e5", "x1", "0x10", "nan", "-nan",
                             "inf", "INFINITY", "-inf", "nan(123)", " . 5"})
        EXPECT_EQ(ReadDecimal(none), 0.0) << none;
    EXPECT_EQ(ReadDecimal("1e999"), kInf);
    EXPECT_EQ(ReadDecimal("-1e999"), -kInf);
    EXPECT_EQ(ReadDecimal(std::string(5000, '9')), kInf);
    EXPECT_EQ(ReadDecimal("1e-999"), 0.0);
    EXPECT_EQ(ReadDecimal("0." + std::string(400, '0') + "1"), 0.0);
    EXPECT_EQ(ReadDecimal("1" + std::string(400, '0') + "e-400"), 1.0);
    EXPECT_EQ(ReadDecimal("0.001e99999999999999999999"), kInf);
    EXPECT_EQ(ReadDecimal("1000e-99999999999999999999"), 0.0);
    EXPECT_GT(ReadDecimal("1e-310"), 0.0);
}

TEST(ReadInteger, ReadsLikeAtoiButSaturates) {
    EXPECT_EQ(ReadInteger(" 42x"), 42);
    EXPECT_EQ(ReadInteger("-17"), -17);
    EXPECT_EQ(ReadInteger("+8"), 8);
    EXPECT_EQ(ReadInteger("3.9"), 3);
    for (const char* none : {"", "x", "+-1", "-", " "}) EXPECT_EQ(ReadInteger(none), 0) << none;
    EXPECT_EQ(ReadInteger("2147483647"), INT_MAX);
    EXPECT_EQ(ReadInteger("2147483648"), INT_MAX);
    EXPECT_EQ(ReadInteger("-2147483648"), INT_MIN);
    EXPECT_EQ(ReadInteger("-99999999999999999999999"), INT_MIN);
    EXPECT_EQ(ReadInteger(std::string(10000, '7')), INT_MAX);
}

TEST(SettingsModel, AbsurdValuesAreStoredButRejectedForConversion) {
    Fixture f;
    EXPECT_NO_THROW(CheckConversionSettings(f.model.settings(), f.model.outputRate()));

    const auto rejected = [&](int id, const char* text) {
        Fixture g;
        g.model.OnFieldChanged(id, text);
        try {
            CheckConversionSettings(g.model.settings(), g.model.outputRate());
        } catch (const std::invalid_argument&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(rejected(kSpeed, "-50"));
    EXPECT_TRUE(rejected(kSpeed, "1e999"));
    EXPECT_TRUE(rejected(kGain, "1e6"));
    EXPECT_TRUE(rejected(kSyncOffset, "1e999"));
    EXPECT_TRUE(rejected(kSyncOffset, "3e9"));
    EXPECT_TRUE(rejected(kBasebandPostspeed, "-1e999"));
    EXPECT_TRUE(rejected(kRate, "-44100"));
    EXPECT_TRUE(rejected(kRate, "1e39"));
    EXPECT_TRUE(rejected(kRate, "16777218"));
    EXPECT_FALSE(rejected(kRate, "16777216"));
    EXPECT_FALSE(rejected(kRate, "0"));
    EXPECT_FALSE(rejected(kGain, "-1e6"));  // gain 0: silence, but a valid conversion
    EXPECT_TRUE(rejected(kBasebandPostspeed, "-5"));  // said so, not as a rate too low
    EXPECT_TRUE(rejected(kRate, "48000.4"));          // the header could not hold it
    EXPECT_TRUE(rejected(kSnr, "99999"));

    // A speed so small that the percentage underflows counts as no speed change.
    Fixture g;
    g.model.OnFieldChanged(kSpeed, "1e-323");
    EXPECT_EQ(g.model.settings().speed, 1.0);

    // Huge values format without overflow.
    g.Commit(kSyncOffset, "1e308");
    EXPECT_EQ(g.model.controlText(kSyncOffset).size(), 313u);
    EXPECT_EQ(g.model.controlText(kSyncOffset).substr(0, 4), "1000");
    // A gain the field cannot show becomes what it shows (as after a restart).
    g.Commit(kGain, "1e6");
    EXPECT_EQ(g.model.controlText(kGain), "0.000");
    EXPECT_EQ(g.model.settings().gain, 1.0);
    // The value used is the value shown: the name and a restart give that one.
    g.Commit(kSpeed, "99.9996");
    EXPECT_EQ(g.model.controlText(kSpeed), "100.000");
    EXPECT_EQ(g.model.settings().speed, 1.0);
    g.Commit(kSyncOffset, "0.0004");
    EXPECT_EQ(g.model.settings().syncOffset, 0.0);
    g.Commit(kRate, "1e39");
    EXPECT_EQ(g.model.controlText(kRate), "inf");
}

// Random and hostile texts fed to every control never crash the model and never break its
// invariants.
TEST(SettingsModel, RandomInputKeepsTheInvariants) {
    std::mt19937 rng(20240611u);
    const std::vector<std::string> words = {
        "",       "0",          "-0",          "nan",    "inf",
        "-inf",   "1e999",      "-1e999",      "1e-999", "abc",
        "+-3",    ".",          "-",           "0x1p4",  "  12  ",
        "50",     "100",        "200%",        "1e308",  "-1e308",
        "1e-320", "4294967296", "-2147483649", "3.5e38", "2.2250738585e-308"};
    const auto randomText = [&]() -> std::string {
        switch (rng() % 5) {
            case 0:
                return words[rng() % words.size()];
            case 1: {
                std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
                std::uniform_int_distribution<int> exponent(-330, 330);
                return std::to_string(mantissa(rng)) + "e" + std::to_string(exponent(rng));
            }
            case 2:
                return std::to_string(static_cast<int>(rng() % 200001) - 100000);
            case 3: {
                std::string garbage(rng() % 12, ' ');
                for (char& c : garbage) c = static_cast<char>(rng() % 256);
                return garbage;
            }
            default:
                return std::string(1 + rng() % 3000, "0123456789.e-"[rng() % 13]);
        }
    };

    SettingsModel model;
    model.Initialise();
    for (int step = 0; step < 4000; ++step) {
        const int id = kFirstField + static_cast<int>(rng() % 9);
        switch (rng() % 8) {
            case 0:
            case 1:
            case 2:
                if (id == kSnr && !model.isEnabled(kSnr)) break;
                model.OnFieldChanged(id, randomText());
                // The fields that depend on the edited one show the stored values.
                if (id >= kBasebandPrespeed && id <= kStopbandPostspeed) {
                    const int partner = id + ((id - kBasebandPrespeed) % 2 == 0 ? 1 : -1);
                    ASSERT_EQ(model.controlText(partner), model.FormatField(partner)) << step;
                }
                if (id == kSpeed) {
                    ASSERT_EQ(model.controlText(kBasebandPrespeed),
                              model.FormatField(kBasebandPrespeed));
                    ASSERT_EQ(model.controlText(kStopbandPrespeed),
                              model.FormatField(kStopbandPrespeed));
                }
                break;
            case 3:
                model.UpdateField(id);
                EXPECT_EQ(model.controlText(id), model.FormatField(id));
                break;
            case 4:
                model.OnSampleTypeChosen(static_cast<int>(rng() % 9) - 1);
                break;
            case 5:
                model.OnRateChosen(kOutputRates[rng() % kOutputRates.size()]);
                break;
            case 6:
                model.OnSnrBoxClicked(rng() % 2 == 0);
                break;
            default:
                model.OnAliasRadioClicked(rng() % 2 == 0);
                break;
        }

        const ConversionSettings& s = model.settings();
        ASSERT_FALSE(std::isnan(s.speed)) << step;
        ASSERT_NE(s.speed, 0.0) << step;
        ASSERT_FALSE(std::isnan(s.gain)) << step;
        ASSERT_FALSE(std::isnan(s.syncOffset)) << step;
        ASSERT_FALSE(std::isnan(s.basebandMax)) << step;
        ASSERT_FALSE(std::isnan(s.stopbandMin)) << step;
        ASSERT_FALSE(std::isnan(model.outputRate())) << step;
        if (std::isfinite(s.basebandMax)) {
            ASSERT_LE(s.basebandMax, s.stopbandMin) << step;
        }
        ASSERT_EQ(model.isEnabled(kBasebandPrespeed), s.speed != 1.0) << step;
        ASSERT_EQ(model.isEnabled(kStopbandPrespeed), s.speed != 1.0) << step;
        ASSERT_EQ(model.isEnabled(kSnr), model.snrBoxChecked()) << step;
        ASSERT_FALSE(model.updatingControls());
        if (!model.snrBoxChecked()) {
            ASSERT_EQ(s.snrDb, DefaultSnrDb(model.outputFormat().lowByte)) << step;
        }
        try {
            CheckConversionSettings(s, model.outputRate());
            ASSERT_TRUE(std::isfinite(s.speed) && s.speed > 0.0);
            ASSERT_TRUE(std::isfinite(s.gain));
            ASSERT_TRUE(model.outputRate() >= 0.0f && model.outputRate() <= kMaxRateHz);
        } catch (const std::invalid_argument& e) {
            ASSERT_NE(std::string(e.what()), "");
        }
    }
}

TEST(SettingsModel, RateListAndUnknownTypes) {
    EXPECT_EQ(DefaultSnrDb(0x00), 0u);
    EXPECT_EQ(DefaultSnrDb(0x42), 0u);
    // Every list entry reads back as the rate it names.
    for (std::string_view rate : kOutputRates) {
        SettingsModel model;
        model.OnRateChosen(rate);
        EXPECT_EQ(model.FormatField(kRate), rate);
    }
}

}  // namespace

namespace {

SettingsModel::SavedValues RoundTrip(const SettingsModel::SavedValues& saved) {
    SettingsModel restored;
    restored.Initialise();
    restored.Restore([&](std::string_view key) -> std::optional<std::string> {
        for (const auto& [k, v] : saved)
            if (k == key) return v;
        return std::nullopt;
    });
    return restored.Saved();
}

}  // namespace

TEST(SettingsModel, RememberedSettingsComeBackThroughTheFieldRules) {
    Fixture f;
    f.model.OnSampleTypeChosen(2);  // int24
    f.Commit(kRate, "96000");
    f.Commit(kSpeed, "50");
    f.Commit(kGain, "-3");
    f.Commit(kStopbandPostspeed, "24000");
    f.Commit(kBasebandPostspeed, "21000");
    f.model.OnSnrBoxClicked(true);
    f.Commit(kSnr, "120");
    f.model.OnAliasRadioClicked(true);
    f.model.OnKeepPreRingClicked(true);
    f.model.SetContainer(Container::WavPack);
    f.model.SetOutputFolder(Filesystem::Path::FromNative("/srv/out", Filesystem::Path::Kind::Directory));
    f.model.SetExistingOutputs(ExistingOutputChoice::Ask);
    f.model.SetCopyMetadata(false);
    const SettingsModel::SavedValues saved = f.model.Saved();
    EXPECT_EQ(RoundTrip(saved), saved);

    // A restored baseband above the current one and a stop band between them keep their order.
    SettingsModel model;
    model.Initialise();
    model.Restore([&](std::string_view key) -> std::optional<std::string> {
        if (key == "baseband") return "22000";
        if (key == "stopband") return "23000";
        if (key == "sampleType") return "int99";  // unparsable: the default stays
        return std::nullopt;
    });
    EXPECT_EQ(model.settings().basebandMax, 22000.0);
    EXPECT_EQ(model.settings().stopbandMin, 23000.0);
    EXPECT_EQ(model.controlText(kStopbandPostspeed), "23000.00");
    EXPECT_EQ(model.sampleType(), SampleType::Int16);

    const ConversionRequest r = f.model.request();
    EXPECT_EQ(r.container, Container::WavPack);
    EXPECT_EQ(r.outputFolder->NativeText(), "/srv/out/");
    EXPECT_EQ(r.ifExists, IfExists::Replace);  // the window turns Ask into the batch's answer
    f.model.SetExistingOutputs(ExistingOutputChoice::Skip);
    EXPECT_EQ(f.model.request().ifExists, IfExists::Skip);

    f.model.ResetToDefaults();
    SettingsModel defaults;
    defaults.Initialise();
    EXPECT_EQ(f.model.Saved(), defaults.Saved());
    EXPECT_EQ(f.written.back(), (std::pair<int, std::string>{kSnr, "97"}));  // controls rewritten
}
