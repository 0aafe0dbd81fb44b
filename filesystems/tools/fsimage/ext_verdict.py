"""What e2fsck -fn may report about an ext volume whose device stopped
taking writes part-way through a write-back, and nothing else: space or
inodes marked in use that nothing uses, inodes (files and directories) no
entry reaches any more, counts that follow from that, and counts that claim
more than there is (links, blocks, a directory's size). Entries at freed
inodes, link counts below the names, a ".." naming another parent, a
directory with two entries, blocks claimed twice or past a file's end are
damage."""

import re

HARMLESS = re.compile(
    r"^(Pass \d|e2fsck |Block bitmap differences:\s+(-\S+\s*)+$|Inode bitmap differences:\s+(-\S+\s*)+$|"
    r"Free (blocks|inodes) count wrong|Fix\? no|Directories count wrong|"
    r"\S+: \*+ WARNING|\S+: \d+/\d+ files|Padding at end of|\s*$|"
    r"\S+ was not cleanly unmounted|\(\d+--\d+\)|Running additional passes|"
    r"Unattached (zero-length )?inode \d+|Unconnected directory inode \d+ |"
    r"Connect to /lost\+found\? no|'\.\.' in .* should be <The NULL inode> \(0\)\.)")
# A count above what the checker finds is something lost; below it, damage.
TOO_HIGH = re.compile(r"^Inode \d+ ref count is (\d+), should be (\d+)\.|"
                      r"^Inode \d+, i_(?:blocks|size) is (\d+), should be (\d+)\.")


def harmless(line):
    m = TOO_HIGH.match(line)
    if m:
        found, right = [int(g) for g in m.groups() if g is not None]
        return found > right
    return HARMLESS.match(line) is not None


def damage(fsck_output):
    """The lines of e2fsck -fn output that are not harmless."""
    return [l for l in fsck_output.splitlines() if not harmless(l)]
