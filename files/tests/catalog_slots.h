// Test helper: fills MessageTable slots for the length of one scope and puts
// the old contents back afterwards, so that tests see catalog texts without
// a loaded catalog.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "foundation/message_table.h"

class CatalogSlots {
 public:
  CatalogSlots() = default;
  CatalogSlots(const CatalogSlots&) = delete;
  CatalogSlots& operator=(const CatalogSlots&) = delete;
  ~CatalogSlots() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) MessageTable[it->first] = it->second;
  }

  void Set(std::uint32_t number, const char16_t* text) {
    saved_.emplace_back(number, MessageTable[number]);
    MessageTable[number] = text;
  }

 private:
  std::vector<std::pair<std::uint32_t, const char16_t*>> saved_;
};

// The catalog texts of the file error codes.
struct FileErrorRow {
  std::uint32_t code;
  std::uint32_t message;
  const char16_t* text;
};

inline const std::vector<FileErrorRow>& FileErrorRows() {
  static const std::vector<FileErrorRow> rows = {
      {0x40001, 1408, u"Error occurred while reading the file."},
      {0x40002, 1381, u"The end of the file has been reached."},
      {0x40003, 1428, u"Error occurred while writing the file."},
      {0x40004, 1376, u"The disk is full."},
      {0x40005, 1416, u"Error occurred while searching in the file."},
      {0x40006, 1404, u"Not enough memory to complete the operation."},
      {0x40007, 1403, u"Error occurred while opening the file."},
      {0x40008, 1413, u"Error occurred while deleting the file."},
      {0x40009, 1414, u"Error occurred while renaming the file."},
      {0x4000a, 1372, u"Error occurred while creating the file."},
      {0x4000b, 1401, u"The drive is not ready."},
      {0x4000c, 1407, u"The file is read-only."},
      {0x4000d, 1371, u"The file is corrupted."},
      {0x4000e, 1425, u"The operation is not supported."},
      {0x4000f, 1365, u"Canceled."},
      {0x40010, 1374, u"The device is busy."},
      {0x40011, 1399, u"The specified file does not exist."},
      {0x40013, 1360, u"The file (folder) already exists."},
      {0x40014, 1359, u"Access to the file or folder is denied."},
      {0x40015, 1393, u"Network disconnected."},
      {0x40017, 1392, u"Failed to lock the file."},
      {0x40019, 1361, u"Error occurred while backing up."},
      {0x4001a, 1415, u"Error occurred while recovering."},
      {0x4001b, 1373, u"Error occurred while deciphering."},
  };
  return rows;
}

// Installs every file error text for the scope.
class FileErrorCatalog {
 public:
  FileErrorCatalog() {
    for (const FileErrorRow& row : FileErrorRows()) slots_.Set(row.message, row.text);
  }

 private:
  CatalogSlots slots_;
};
