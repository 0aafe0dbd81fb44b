// An NT directory for tests that records the creations and listings it is
// asked for and can present chosen entries as junctions, so that walks over
// trees can be tried against junctions on a system that cannot make them
// (Wine 8 cannot). Every directory it opens shares the record, and every
// cursor it hands out (list, find, find_self) reports the chosen entries
// with the junction's kind and the reparse-point attribute.
#pragma once

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "files/win/nt_dir.h"

namespace ntdirtest {

struct Record {
  std::vector<std::u16string> created;  // paths create_dir(".") was asked for
  std::set<std::u16string> listed;      // paths list() was asked for
  std::set<std::u16string> junctions;   // entry paths (no trailing '\') presented as junctions
};

// Forwards to a real cursor, reporting the chosen entries as junctions.
class RetypedCursor : public i_dir::iterator {
 public:
  // `prefix`: the path of the folder the cursor lists, with its trailing '\'.
  RetypedCursor(i_dir::iterator* inner, std::u16string prefix, const Record* record)
      : inner_(inner), prefix_(std::move(prefix)), record_(record) {
    sync();
  }
  void next() override {
    inner_->next();
    sync();
  }
  file_identifier* id() override { return inner_->id(); }
  const char16_t* name() override { return inner_->name(); }
  std::uint64_t size() override { return inner_->size(); }
  std::uint32_t object_type() override {
    return presented() ? std::uint32_t(kObjectJunction) : inner_->object_type();
  }
  std::uint32_t attributes() override {
    const std::uint32_t attributes = inner_->attributes();
    return presented() && attributes != kNoAttributes ? attributes | FILE_ATTRIBUTE_REPARSE_POINT
                                                      : attributes;
  }

 private:
  bool presented() {
    const char16_t* n = inner_->name();
    return n != nullptr && record_->junctions.count(prefix_ + n) != 0;
  }
  void sync() {
    if (!inner_->is_ok()) store_first_error(inner_->error());
  }
  std::unique_ptr<i_dir::iterator> inner_;
  std::u16string prefix_;
  const Record* record_;
};

class RecordingDir : public winnt_dir {
 public:
  RecordingDir(const std::u16string& path, Record* record) : winnt_dir(path), record_(record) {}

  win32_dir* make_dir(const char16_t* path) override {
    std::unique_ptr<win32_dir> plain(winnt_dir::make_dir(path));
    if (!plain) return nullptr;
    return new RecordingDir(plain->path(), record_);
  }
  void create_dir(const char16_t* name, const SecurityAttributesProvider* provider) override {
    if (std::u16string(name) == u".") record_->created.push_back(path_text());
    winnt_dir::create_dir(name, provider);
  }
  i_dir::iterator* list() override {
    record_->listed.insert(path_text());
    return wrap(winnt_dir::list(), path_text());
  }
  // A name of one component, as the cursor's prefix is this folder.
  i_dir::iterator* find(const char16_t* name) override {
    return wrap(winnt_dir::find(name), path_text());
  }
  i_dir::iterator* find_self() override {
    std::u16string parent = path_text();
    parent.pop_back();
    parent.erase(parent.rfind(u'\\') + 1);
    return wrap(winnt_dir::find_self(), parent);
  }

 private:
  i_dir::iterator* wrap(i_dir::iterator* inner, std::u16string prefix) {
    return inner == nullptr ? nullptr : new RetypedCursor(inner, std::move(prefix), record_);
  }
  Record* record_;
};

}  // namespace ntdirtest
