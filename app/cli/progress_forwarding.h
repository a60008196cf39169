#pragma once

#include "app/controllers/progress.h"
#include "core/backup/progress.h"

// Feeds dorvane's display from the application's progress object: every new description as a
// status text, every new completed-unit count as a fraction of the total. The progress
// object reports only that something changed, so what was last forwarded is remembered to
// tell the two apart (and a total set before the work starts forwards nothing).
void ForwardProgress(app::Progress& progress, ProgressCallback forward);
