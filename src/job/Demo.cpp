#include "job/Demo.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>

#include "audio/format/Translator.h"
#include "audio/io/FileWriter.h"
#include "audio/io/InsertWriter.h"
#include "stream/Adapt.h"
#include "stream/Drain.h"

namespace {

class DemoSource final : public Stream::iOver, public Stream::Source {
public:
    static constexpr double kRate = 44100.0, kSeconds = 4.0;
    DemoSource() {
        granularity = 16;
        length = static_cast<std::int64_t>(kRate * kSeconds) * 16;
        setTag(Audio::Stream::Tag{0.0, Audio::Format::FromBytes(0x48, 1, 0, 2, float(kRate))});
    }
    void seek(std::uint64_t p) override { frame_ = p / 16; }
    Stream::Block read(slice<std::uint8_t> d, std::uint32_t) override {
        auto* out = reinterpret_cast<double*>(d.begin);
        const double a = 0.5, f0 = 20.0, f1 = 20000.0, T = kSeconds, k = std::log(f1 / f0);
        const double pi = std::numbers::pi;
        for (std::size_t i = 0; i < d.length() / 16; ++i, ++frame_) {
            double t = frame_ / kRate;
            out[2 * i] = a * std::sin(2 * pi * 440.0 * t);
            out[2 * i + 1] = a * std::sin(2 * pi * f0 * T / k * (std::exp(t / T * k) - 1));
        }
        return {d.begin, d.end, Stream::Samples};
    }

private:
    std::uint64_t frame_ = 0;
};

}  // namespace

void WriteDemoFile(const std::string& file) {
    namespace fs = std::filesystem;
    const fs::path p(file);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    const std::string part = file + "." + std::to_string(getpid()) + ".part";
    try {
        Audio::Stream::Wrapper<Stream::iOver> s(new DemoSource);
        s = Audio::FormatTranslator::MakeAndApply(s, Audio::Format::FromBytes(0x22, 16, 0, 0, 0.0f),
                                                  1);
        auto writer = Audio::IO::MakeFileWriter(Audio::IO::kWaveWriter, s.tag(), part);
        Audio::IO::iFileWriter* w = writer.get();
        Stream::Wrapper<Stream::iUnder> pull(
            __adapt<Stream::iUnder>::from(Audio::IO::InsertWriter(s, std::move(writer))));
        s.reset();
        Stream::drain(pull, nullptr);
        w->Finish();
        pull.reset();
        fs::rename(part, file);
    } catch (...) {
        std::error_code ec;
        fs::remove(part, ec);
        throw;
    }
}
