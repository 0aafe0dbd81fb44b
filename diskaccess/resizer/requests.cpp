#include <cstring>
#include <memory>

#include "diskaccess/resizer.h"
#include "fdisk/simple_disk.h"

namespace resizer {

namespace {

constexpr std::uint32_t kDescribeMask = 0x8D180;
constexpr int kFactoryCount = kFsTypeCount;  // 17
ProcessorFactory g_factories[kFactoryCount] = {};

FSProcessor* NoFSProcessorFactory() { return new NoFSProcessor(); }

void ResizerNewHandler() { throw NotEnoughMemory(); }

using Owned = std::unique_ptr<FSProcessor>;

// Makes, places and loads a processor of the type over the description.
Owned OpenFSProcessor(std::uint32_t flags, PartitionParameters& d, std::int32_t type) {
  if (d.Length == 0) throw InvalidPartitionSize();
  Owned p(CreateFSProcessor(type));
  p->SetPlacement(d.Device, d.SectorSize, d.Start, d.Length, d.CancelFlag, nullptr, nullptr,
                  d.SpecialSectors);
  if (flags & 0x40000) p->CheckImageVersion();
  try {
    p->Load();
  } catch (ErrorInSuperblock& e) {
    e.type = p->GetType();
    throw;
  }
  return p;
}

bool TypeRegistered(int type) { return type >= 0 && type < kFactoryCount && g_factories[type]; }

Owned OpenProbing(std::uint32_t flags, PartitionParameters& d) {
  const std::int32_t type = d.FsType;
  std::uint32_t mask = d.FsTypeMask & 0x1FFFE;
  if (mask == 0) return OpenFSProcessor(flags, d, type);
  if (type >= 0 && type < 32) mask &= ~(1u << type);
  for (int code = 1; code <= 16; ++code)
    if (!TypeRegistered(code)) mask &= ~(1u << code);
  if (mask == 0) return OpenFSProcessor(flags, d, type);
  if (type != 0) {
    try {
      return OpenFSProcessor(flags, d, type);
    } catch (const InvalidFileSystem&) {
    }
  }
  for (int code = 1; code <= 16; ++code) {
    if (!(mask & (1u << code))) continue;
    try {
      return OpenFSProcessor(flags, d, code);
    } catch (const InvalidFileSystem&) {
    }
  }
  if (type == 0) return OpenFSProcessor(flags, d, 0);
  throw InvalidFileSystem();
}

Owned OpenSource(std::uint32_t flags, PartitionParameters* source, Da::BitArray* filter,
                 PartitionParameters* destination, const FileSystemOptions* options,
                 std::uint8_t value, std::uint32_t values1, std::uint32_t values2) {
  const std::uint32_t fsType = options ? options->FileSystem : 0;
  if (flags & 0x8) {
    const bool describes = !(flags & kDescribeMask) && destination;
    Owned p;
    try {
      if ((flags & 0x100) && fsType == 0) {
        p = OpenFSProcessor(flags, *source, 0);
        p->SetParameters(*source);
      } else {
        p = OpenProbing(flags, *source);
      }
    } catch (const ErrorInSuperblock& e) {
      if (describes) destination->FsType = e.type;
      throw;
    }
    if (flags & 0x10000) p->SetFileFilter(filter);
    const bool same = source->Valid && p->GetType() == source->FsType;
    if (describes) {
      if (same)
        *destination = *source;
      else
        p->GetParameters(*destination);
    }
    if (flags & 0x6000) {
      p->SetValue(value);
      p->SetValues(values1, values2);
    }
    if (flags & 0x11) {
      if ((flags & 0x30) == 0x30)
        p->CheckAll();
      else
        p->Check(flags & 3, same ? source : nullptr);
    }
    if (describes) {
      p->GetParameters(*destination);
      if (flags & 0x10) destination->Valid = true;
    }
    return p;
  }
  if (!(flags & 0x40)) return nullptr;
  Owned p;
  if (fsType == 0) {
    p.reset(CreateFSProcessor(0));
  } else {
    if ((flags & 0x100) && !source->Error.IsNull() && source->Error.Code() != 0)
      throw ResizeImpossible();
    p.reset(CreateFSProcessor(source->FsType));
  }
  // A copy reads the source through its placement, so a source that has a
  // device is placed for a copy too, not only when it is to be finished. The
  // placement keeps the source's special sectors: the copy finds the backup
  // boot sector it must patch through them.
  if ((flags & 0x1000) || ((flags & 0x400) && source->Device))
    p->SetPlacement(source->Device, source->SectorSize, source->Start, source->Length,
                    source->CancelFlag, nullptr, nullptr, source->SpecialSectors);
  p->SetParameters(*source);
  if (flags & 0x10000) p->SetFileFilter(filter);
  return p;
}

}  // namespace

void RegisterRawProcessor() { g_factories[0] = NoFSProcessorFactory; }
void ClearProcessorFactories() {
  for (auto& f : g_factories) f = nullptr;
}

FSProcessor* CreateFSProcessor(std::int32_t type) {
  if (!TypeRegistered(type)) throw InvalidFileSystem();
  FSProcessor* p = g_factories[type]();
  if (!p) throw InvalidFileSystem();
  return p;
}

ResizerNewHandlerGuard::ResizerNewHandlerGuard() noexcept
    : previous_(std::set_new_handler(ResizerNewHandler)) {}
ResizerNewHandlerGuard::~ResizerNewHandlerGuard() { std::set_new_handler(previous_); }

void ResizeRequest::Run() {
  if ((flags & 0x1008) && (!source || !source->Device))
    ThrowInternal(u"Internal error: source drive not specified");
  Owned src;
  if (flags & 0x800) {
    const char16_t* name = nullptr;
    if (flags & 0x400) {
      name = options ? options->MergeDirName : nullptr;
      if (!name || !*name) ThrowInternal(u"Internal error: merge directory name not specified");
    }
    Owned first = OpenSource(flags, source, nullptr, nullptr, options, 0, 0, 0);
    Owned second = OpenSource(flags, partner, nullptr, nullptr, options, 0, 0, 0);
    if (!first || !second) ThrowInternal(u"Internal error: source drive not specified");
    src.reset(first->Merge(second.get(), name));
  } else {
    src = OpenSource(flags, source, filter, destination, options, value, values1, values2);
  }
  // Every step below acts on the source processor.
  if (!src && (flags & 0xAF080u))
    ThrowInternal(u"Internal error: source drive not specified");
  if (flags & 0x2000) src->FillPackedArray(packedOut1);
  if (flags & 0x80000) {
    const std::uint32_t v = src->QueryValue();
    if (valueOut) *valueOut = v;
  }
  if (flags & 0x20000) src->SetChunkSize(chunkBytes);
  if (flags & 0x8000) src->SetOptions(option1, option2, (flags & 0x4000) != 0);
  if (flags & 0x4000) {
    src->FillBitmapSet(setA, setBuffer, setB);
    src->FillSecondBitmap(bitmap2);
    Da::BitArray temporary;
    Da::BitArray* target = bitmapOut;
    if (flags & 0x8000) {
      src->FillFilterBitmap(filter);
      const bool filtered = filter && filter->bitCount != 0 &&
                            Da::FindNthSetBit(filter->data, 0, filter->bitCount, 0) != Da::kBitNotFound;
      if (filtered) {
        if (flags & 0x20000) target = &temporary;
        src->FillBitmap(target);
      }
    }
    if (flags & 0x20000) {
      ChunkEnumerator* e = src->CreateChunkEnumerator(target);
      if (enumeratorOut)
        *enumeratorOut = e;
      else
        delete e;
    }
  }
  if (flags & 0x2000) {
    if (flags & 0x20)
      src->FillBitmapAlt(bitmapOut);
    else
      src->FillBitmap(bitmapOut);
    src->InitPackedArray(packedOut2);
  }
  if (flags & 0x80) {
    try {
      src->SetVolumeLabel(options);
    } catch (const Common::Error&) {
      if (touched && src->HasWritten()) *touched = true;
      throw;
    }
    PartitionParameters described;
    src->GetParameters(described);
    if (destination) std::memcpy(destination->Label, described.Label, sizeof described.Label);
  }
  if (flags & 0x100) {
    if (!destination) ThrowInternal(u"Internal error: destination drive not specified");
    Owned dst(CreateFSProcessor(options ? std::int32_t(options->FileSystem) : 0));
    ResizerCallback* callback = options ? options->Callback : nullptr;
    std::uint64_t* total = options ? options->ProcessedBytes : nullptr;
    if (flags & 0x600) {
      if (!destination->Device) ThrowInternal(u"Internal error: destination drive not specified");
      std::uint8_t* cancel =
          (flags & 0x400) && source ? source->CancelFlag : destination->CancelFlag;
      dst->SetPlacement(destination->Device, destination->SectorSize, destination->Start,
                        destination->Length, cancel, callback, total, nullptr);
    } else {
      dst->SetPlacement(nullptr, destination->SectorSize, 0, destination->Length, nullptr,
                        nullptr, nullptr, nullptr);
    }
    dst->PrepareTarget(options, src.get());
    if (flags & 0x200) dst->Format();
    if (flags & 0x400) {
      if (!src) ThrowInternal(u"Internal error: source drive not specified");
      if (touched) {
        // An overlapping move cannot be stopped half-way.
        if (dst->Overlaps(*src)) {
          dst->ResetCancel();
          src->ResetCancel();
        }
        try {
          dst->CopyFrom(src.get());
        } catch (const Common::Error&) {
          if (dst->HasWritten()) *touched = true;
          throw;
        }
      } else {
        dst->CopyFrom(src.get());
      }
    }
    const bool sourceValid = source ? source->Valid : false;
    dst->GetParameters(*destination);
    destination->Valid = (flags & 0x40) ? sourceValid : true;
  }
  if (flags & 0x1000) src->Finish(options);
}

}  // namespace resizer

namespace Da {

Common::Error RunResizer(Common::Error& result, resizer::ResizeRequest& request) {
  resizer::ResizerNewHandlerGuard guard;
  try {
    request.Run();
    result = Common::Error();
  } catch (const Common::Error& e) {
    result = e;
  } catch (const std::bad_alloc&) {
    result = resizer::NotEnoughMemory();
  }
  return result;
}

Common::Error RunResizer(Common::Error& result, std::uint32_t flags,
                         const FileSystemOptions* options, PartitionParameters* source,
                         PartitionParameters* partner, PartitionParameters* destination,
                         bool* touched) {
  resizer::ResizeRequest request;
  request.flags = flags;
  request.options = options;
  request.source = source;
  request.partner = partner;
  request.destination = destination;
  request.touched = touched;
  return RunResizer(result, request);
}

void RunResizerFormat(PartitionParameters* destination, Common::Error& result,
                      const FileSystemOptions* options) {
  RunResizer(result, 0x300, options, nullptr, nullptr, destination, nullptr);
}

void DescribePartition(Common::Error& result, std::uint32_t flags,
                       PartitionParameters& description) {
  PartitionParameters described;
  described.Device = description.Device;
  described.Start = description.Start;
  described.Length = description.Length;
  described.CancelFlag = description.CancelFlag;
  // A description without a device cannot be asked: refuse rather than
  // read the sector size of nothing.
  described.SectorSize = description.Device ? description.Device->GetSectorSize() : 0;
  described.FsLength = described.FsLength2 = description.Length;
  described.SectorsPerBlock = 1;
  RunResizer(result, flags, nullptr, &description, nullptr, &described, nullptr);
  if (result.Code() == resizer::kCanceled) return;
  if (!result.IsNull() && result.Code() != 0) {
    described.FsTypeMask = 0;
    described.Valid = false;
    described.Error = result;
  }
  described.ChangeStamp = description.ChangeStamp;
  description = described;
}

bool HasKnownFileSystem(Fdisk::SimpleDisk* device) {
  if (!device) return false;
  PartitionParameters d;
  d.Device = device;
  d.Start = 0;
  d.Length = device->GetSectorCount() + 1;
  d.SectorSize = device->GetSectorSize();
  d.FsTypeMask = 0xFFFFFFFFu;
  Common::Error result;
  DescribePartition(result, 8, d);
  return (result.IsNull() || result.Code() == 0) && d.FsType != 0;
}

void FormatRawDevice(Common::Error& result, Fdisk::SimpleDisk* device) {
  PartitionParameters d;
  d.Device = device;
  d.Length = device ? device->GetSectorCount() + 1 : 0;
  d.SectorSize = device ? device->GetSectorSize() : 0;
  d.FsTypeMask = 0xFFFFFFFFu;
  FileSystemOptions options;
  RunResizerFormat(&d, result, &options);
}

}  // namespace Da
