#pragma once

namespace stratavon {

// The texts of the simple console and the target selection, as the
// operator sees them. Messages are compared by tests and scripts, so they
// stay exactly as written here.

constexpr char kConsoleTitle[] = "Stratavon for Linux";
constexpr char kTargetSelectionTitle[] = "Target Selection";
// String 101: the About entry.
constexpr char kAboutMenuText[] = "&About Stratavon...";
// The caption of the application's own boxes when the platform names none.
constexpr char kApplicationName[] = "Stratavon";
constexpr char kErrorCaption[] = "Error";

constexpr char kPleaseSelectTargets[] = "Please Select Targets Before Beginning ...";

// Status words.
constexpr char kStatusIdle[] = "IDLE";
constexpr char kStatusInit[] = "INIT";
constexpr char kStatusRun[] = "RUN";
constexpr char kStatusStop[] = "STOP";
constexpr char kStatusFail[] = "FAIL";

// The Pattern texts of the named patterns and of RESET.
constexpr char kPatternTextCrpat[] = "CRP";
constexpr char kPatternTextCjtpat[] = "CJT";
constexpr char kPatternTextCspat[] = "CSP";
constexpr char kPatternTextReset[] = "AA";

// Refusals (caption "Error"); those of the preparation are in run/RunPreparation.h.
constexpr char kMsgSelectThreadCount[] = "Select a Thread Count!";
constexpr char kMsgMemoryFailure[] = "Memory Allocation Failure.";
constexpr char kMsgNoLogicalDrives[] = "No Logical Drives Found.";
constexpr char kMsgDrivesRunAdvanced[] =
    "Whole drives run in the advanced console (Advanced > Features > Logical), where a run that writes one asks "
    "before it destroys what is on it.";
constexpr char kMsgFolderNotFound[] = "Folder Not Found!";
// Internal failures (application box).
constexpr char kMsgInitializationError[] = "INITIALIZATION ERROR";
constexpr char kMsgMemoryAllocation[] = "MEMORY ALLOCATION FAILURE";
constexpr char kMsgTargetInitFailed[] = "TARGET INITIALIZATION FAILED";

}  // namespace stratavon
