#pragma once

namespace stratavon {

// Control and command ids of the advanced console's dialog (resource 103)
// and menu (resource 135); each control and action carries its id as its
// object name's number and in the "dialogId" property.
enum CorvaneAdvancedId : int {
  IDC_ADV_START = 1000,
  IDC_ADV_STOP = 1001,
  IDC_ADV_THREADS = 1005,
  IDC_ADV_PATTERN = 1006,
  IDC_ADV_STATUS = 1007,
  IDC_ADV_LOCATION = 1008,
  IDC_ADV_OPERATION = 1009,
  IDC_ADV_ELAPSED = 1010,
  IDC_ADV_PERFORMANCE = 1011,
  IDC_ADV_TRANSFER = 1012,
  IDC_ADV_BUFFER = 1013,
  IDC_ADV_ERROR_CHECKING = 1014,
  IDC_ADV_ENABLE_PERFORMANCE = 1015,
  IDC_ADV_EXTENDED = 1016,
  IDC_ADV_ASYNCHRONOUS = 1017,
  IDC_ADV_DEPTH = 1018,
  IDC_ADV_IOPS = 1019,
  IDC_ADV_TARGETS = 1020,
  IDC_ADV_MODIFY = 1021,
  IDC_ADV_FILE_SIZE = 1022,
  ID_OPTIONS_IMPORT_DATA_FILE = 32786,
  ID_OPTIONS_STAMPED_UNITS = 32787,
};

// The advanced console's texts as the operator sees them; tests and
// scripts compare them, so they stay exactly as written here.
constexpr char kAdvancedTitle[] = "Stratavon Advanced";
constexpr char kDataFileFilter[] = "Halvex Data Files (*.hvx)";
constexpr char kDataFileInvalid[] = "INVALID";
constexpr char kInvalidFileSize[] = "Invalid File Size!";
constexpr char kElapsedZero[] = "00:00:00:00";

// The ten columns of the target list, in insertion order.
constexpr const char* kTargetColumnHeadings[] = {"Target",    "Status", "MB/s",   "IOPS",        "Error",
                                                 "Operation", "Chunk",  "Buffer", "Performance", "Error Checking"};
constexpr int kTargetColumnWidth = 100;

}  // namespace stratavon
