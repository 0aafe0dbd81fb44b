// Control of the snapshot-library stand-in, for tests only: the product
// never calls these (it sees only the functions of sblib.h).
//
// The stand-in serves drives backed by image files. It reads its
// configuration at sbInitLibEx from the text file named by the environment
// variable PURGEKIT_SBLIB_CONFIG (or the path set with SbStandinSetConfig).
// One directive a line, '#' starts a comment, arguments are words or
// key=value pairs (a value may be in double quotes):
//
//   log PATH                     append one line per call to PATH
//   version N                    library version in the info record (141)
//   status N / mode N            status and mode words of the info record
//   used LETTERS                 letters in use besides the volumes' (e.g. C)
//   drive IMAGE [sector=512] [model=TEXT] [serial=TEXT] [heads=255]
//         [spt=63] [bios=0x80] [flags=N] [offline] [skip] [readonly]
//         [bioschs=MAXCYL/MAXHEAD/SECTORS]  (the firmware's CHS bytes, given
//                                  whatever the flags; without it they follow
//                                  heads and spt when flags has 0x2)
//         [bad=FIRST[-LAST],...]  (bad sectors: reads over them give 23)
//   volume DRIVE:FIRST+COUNT[,DRIVE:FIRST+COUNT...] [letter=D] [flags=N]
//         [guid=XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX] [type=GUID] [skip]
//         [uid=N]        (bytes of the unique ID, 24; the GUID is its last 16)
//         [uidlater=N]   (the length reported to calls that pass a buffer)
//         [noextents]    (an extent list of 0 bytes)  [locations]  (its flag)
//         [letterpending] (letter changes answer 0x60000006, "takes effect
//                          later", and still take effect)
//         [held]         (another program holds it: lock modes 1 and 2 are
//                          refused with 33 until the volume is dismounted)
//         [files=TEXT] [filesraw]  (the open-files text, UTF-16 with its
//                          terminator; filesraw leaves the terminator out)
//   fail FUNCTION STATUS [after=N]  every call of FUNCTION answers STATUS
//                                (after N calls that work normally)
//   snapshot pending=N           snapshots name pending requests of at most
//                                N sectors (copy-on-write: see
//                                src/standin_snapshots.inc)
//
// Drives are numbered from 1 in the order of their lines, volumes too.
// Numbers may be decimal or 0x-hexadecimal.
#pragma once

#include <cstdint>
#include <string>

namespace sblib_standin {

// Overrides the configuration path (empty: use the environment again).
void SetConfigPath(const std::string& path);

// What is alive now: open handles, held drive and volume locks, library
// threads that have not yet ended (started and not finished, joined or
// not), and whether the library is initialised.
//
// sbDoneLib logs the same for what the caller left behind, as
//   sbDoneLib() = 0 threads_before=T left: handles=H locks=L callbacks=C threads=R
// with T the library threads alive when sbDoneLib began (1 after a proper
// set-up) and R those still alive after it joined its own (0 when it ends
// everything it started).
struct Census {
  unsigned handles = 0;
  unsigned locks = 0;
  unsigned threads = 0;
  bool initialised = false;
};
Census TakeCensus();

}  // namespace sblib_standin
