// The words a user reads for each kind of failure.

#include "job/Outcome.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "audio/io/FileWriter.h"
#include "audio/io/OpenFile.h"
#include "audio/io/WAVParser.h"
#include "base/Wobbly.h"

namespace {

template <class F>
std::string describe(F&& thrower) {
    try {
        thrower();
    } catch (...) {
        return DescribeFailure(std::current_exception());
    }
    return "nothing thrown";
}

TEST(DescribeFailure, StateTextFirstThenTheReason) {
    using namespace Audio::IO;
    const struct {
        std::string text;
        std::function<void()> thrower;
    } cases[] = {
        {"???: Malformed RIFF-WAVE file",
         [] {
             try {
                 throw WAVParser::Incomplete();
             } catch (...) {
                 std::throw_with_nested(FileError());
             }
         }},
        {"???: a: b",
         [] {
             try {
                 try {
                     throw std::runtime_error("b");
                 } catch (...) {
                     std::throw_with_nested(std::runtime_error("a"));
                 }
             } catch (...) {
                 std::throw_with_nested(FileError());
             }
         }},
        {"Could not open file", [] { throw OpenError(); }},
        {"aborted", [] { throw std::runtime_error("aborted"); }},
        {"failed", [] { throw Wobbly{}; }},
        {"failed: the input ended early", [] { throw WobblyBecause("the input ended early"); }},
        {"failed: cannot write the output file: No space left on device",
         [] { throw Stream::iByteOutput::Failure("cannot write the output file", ENOSPC); }},
        {"failed", [] { throw 42; }},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(c.thrower), c.text);
}

}  // namespace
