#pragma once

#include "convert/batchsession.h"

// What the user is told about the files of a batch that did not fully succeed.
namespace BatchReport {

struct Report
{
    QString text;    // empty when every file converted at the chosen bitrate
    QString details; // every affected file with its reason, one per line
};

Report describe(const BatchOutcome &outcome);

} // namespace BatchReport
