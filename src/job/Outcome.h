#pragma once

// How a job ended, in the words a user reads: the same text in the window's
// State column and on the command line.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "filesystem/Path.h"

// The text of any failure: its State text first, then the reason when there is one.
//  - an exception with a message (std::exception): the message, then ": " and the text of the
//    exception nested in it, if any ("???: Malformed RIFF-WAVE file");
//  - an internal failure (Wobbly): "failed", then ": " and its reason when it has one
//    ("failed: cannot write the output file: No space left on device");
//  - anything else: "failed".
std::string DescribeFailure(std::exception_ptr failure);

// The peaks of a job's output, measured before quantisation. Levels in dB relative to full
// scale; -infinity for silence.
struct PeakFigures {
    std::vector<double> samplePeakDbfs;  // per channel
    double overallSamplePeakDbfs = 0;    // the largest of samplePeakDbfs
    double truePeakDbtp = 0;             // over all channels, 4x oversampled
    std::uint64_t clampedSamples = 0;    // integer outputs: samples quantisation clipped
    bool integerOutput = true;
    double gain = 1.0;  // linear gain the output was made with (after any lowering)
    int passes = 1;     // conversions run (more than 1 when clipping was prevented)
    // What the user must be told: samples clipped, or a sample peak above full scale (a float
    // output's overs), or a true peak above 0 dBTP.
    bool worthTelling() const;
};

// "clipped 412 samples, peak +0.61 dBFS, true peak +3.02 dBTP" (no "clipped" part when nothing
// was clamped).
std::string DescribePeaks(const PeakFigures& peaks);

enum class JobState : std::int32_t { Queued = 0, Running = 1, Failed = 2, Finished = 3 };

// The figures of a job, for reports (-1 or 0: not known).
struct JobFigures {
    double inputRate = 0;   // Hz, as the input states it
    double outputRate = 0;  // Hz, as the output holds it
    std::int64_t framesIn = -1;
    std::int64_t framesOut = -1;  // written; -1 for a job that wrote nothing
    std::string sampleType;       // "int16", ...
    std::string container;        // "wav", ...
    double seconds = 0;           // from the start of the job to its end
};

// What both programs show of a job that ended.
struct JobRecord {
    Filesystem::Path input;
    std::optional<Filesystem::Path> output;  // the file written, for a job that ended "done"
    JobState state = JobState::Queued;
    // The whole State text: "done" and the warnings ("done, <warning>; <warning>"), "aborted",
    // or the failure's text (DescribeFailure).
    std::string text;
    std::vector<std::string> warnings;  // of a done job
    // Ended without converting, its output being there already (state Finished, text "skipped",
    // `output` the file found).
    bool skipped = false;
    JobFigures figures;
    std::optional<PeakFigures> peaks;   // of a job that converted (done, or failed on a clip)
};
