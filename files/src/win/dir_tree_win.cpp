// Directory-tree creation and removal over the directory interfaces.
#include "files/win/dir_tree.h"

#include <deque>
#include <forward_list>
#include <string>
#include <vector>

void CreateDirTree(rio_dir* directory) {
  if (directory == nullptr) return;
  if (i_dir::iterator* self = directory->find_self()) {
    delete self;  // it exists; find_self left NoError in the directory
    return;
  }
  rio_dir* parent = directory->open_dir(u"..");
  directory->create_dir(u".", nullptr);
  if (directory->is_ok() || parent == nullptr) {
    delete parent;
    return;
  }
  // Climb until an ancestor can be created (or exists: creating it then
  // fails with "already exists", so the climb goes on to the root, whose
  // creation fails, and whose parent is itself, which ends the climb).
  // Chain holds the directories still to be made, nearest to the parent first.
  std::deque<rio_dir*> chain{directory};
  while (parent != nullptr) {
    if (parent->relation(chain.front()) != 1) break;
    parent->create_dir(u".", nullptr);
    if (parent->is_ok()) {
      for (rio_dir* below : chain) {
        below->create_dir(u".", nullptr);
        if (!below->is_ok()) break;
      }
      break;
    }
    chain.push_front(parent);
    parent = parent->open_dir(u"..");
  }
  delete parent;
  for (rio_dir* d : chain) {
    if (d != directory) delete d;
  }
}

namespace {

struct PendingDir {
  rio_dir* dir;
  bool listed;
};

}  // namespace

void RemoveDirTree(rio_dir* directory, bool keep_top) {
  if (directory == nullptr) return;
  // A top that is itself a junction or a directory link is removed as the
  // link it is: listing it would empty whatever it leads to, which lies
  // outside the tree. Emptying it while keeping it would do the same, so
  // with keep_top nothing is done.
  if (i_dir::iterator* self = directory->find_self()) {
    const std::uint32_t type = self->object_type();
    delete self;
    if (type == kObjectJunction || type == kObjectDirSymlink) {
      if (!keep_top) directory->remove_dir(u".");
      return;
    }
  }
  // A stack instead of recursion: a deep tree costs heap, not stack.
  std::forward_list<PendingDir> pending;
  pending.push_front({directory, false});
  while (!pending.empty()) {
    PendingDir& top = pending.front();
    rio_dir* const dir = top.dir;
    if (top.listed) {
      pending.pop_front();
      const bool last = pending.empty();
      if (last && keep_top) return;
      dir->remove_dir(u".");
      if (last) return;
      delete dir;
      continue;
    }
    top.listed = true;
    i_dir::iterator* it = dir->list();
    if (it == nullptr) continue;

    std::vector<std::u16string> files;
    while (it->is_ok()) {
      const std::uint32_t type = it->object_type();
      if (type == kObjectDirectory || type == kObjectJunction || type == kObjectDirSymlink) {
        // Links are removed as entries, never entered: whatever they point
        // at is not part of this tree.
        i_dir* sub = dir->open_dir_at(it);
        if (rio_dir* rw = dynamic_cast<rio_dir*>(sub)) {
          pending.push_front({rw, type != kObjectDirectory});
        } else {
          delete sub;
        }
      } else if (type < kObjectDirectory) {
        if (const char16_t* name = it->name()) files.emplace_back(name);
      }
      it->next();
    }
    delete it;
    for (const std::u16string& name : files) dir->delete_file(name.c_str());
  }
}
