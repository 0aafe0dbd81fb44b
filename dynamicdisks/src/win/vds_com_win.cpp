// The Virtual Disk Service through its documented COM interfaces: the
// binding behind the client's interface (ldm/vds_client.h). The SDK
// headers of this tool chain carry the service's structures but not its
// interfaces, so the interfaces are declared here, each up to the last
// method the binding calls, in their published order.
#include <windows.h>
#include <objbase.h>
// The service's structures are declared only for the versions that ship
// it; the rest of the program keeps its own lower version.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
// This tool chain's LUN header repeats declarations of the main one; only
// the main one is wanted.
#define __vdslun_h__
#include <vds.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ldm/vds_client.h"

namespace {

struct IVdsService;
struct IVdsPack;
struct IVdsVolume;
struct IVdsAsync;

struct IEnumVdsObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG, IUnknown**, ULONG*) = 0;
};
struct IVdsServiceLoader : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE LoadService(LPWSTR, IVdsService**) = 0;
};
struct IVdsService : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE IsServiceReady() = 0;
  virtual HRESULT STDMETHODCALLTYPE WaitForServiceReady() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperties(void*) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryProviders(DWORD, IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryMaskedDisks(IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryUnallocatedDisks(IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(VDS_OBJECT_ID, VDS_OBJECT_TYPE, IUnknown**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryDriveLetters(WCHAR, DWORD, void*) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryFileSystemTypes(void**, LONG*) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reenumerate() = 0;
  virtual HRESULT STDMETHODCALLTYPE Refresh() = 0;
};
struct IVdsProvider : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(VDS_PROVIDER_PROP*) = 0;
};
struct IVdsSwProvider : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryPacks(IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreatePack(IVdsPack**) = 0;
};
struct IVdsPack : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(VDS_PACK_PROP*) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProvider(IUnknown**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryVolumes(IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryDisks(IEnumVdsObject**) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateVolume(VDS_VOLUME_TYPE, VDS_INPUT_DISK*, LONG, ULONG,
                                                 IVdsAsync**) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddDisk(VDS_OBJECT_ID, VDS_PARTITION_STYLE, BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE MigrateDisks(VDS_OBJECT_ID*, LONG, VDS_OBJECT_ID, BOOL, BOOL,
                                                 HRESULT*, BOOL*) = 0;
};
struct IVdsDisk : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(VDS_DISK_PROP*) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPack(IVdsPack**) = 0;
};
struct IVdsVolume : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(VDS_VOLUME_PROP*) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPack(IVdsPack**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryPlexes(IEnumVdsObject**) = 0;
};
struct IVdsVolumePlex : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(VDS_VOLUME_PLEX_PROP*) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVolume(IVdsVolume**) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryExtents(VDS_DISK_EXTENT**, LONG*) = 0;
};
struct IVdsVolumeMF : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetFileSystemProperties(void*) = 0;
  virtual HRESULT STDMETHODCALLTYPE Format(int, LPWSTR, DWORD, BOOL, BOOL, BOOL, IVdsAsync**) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddAccessPath(LPWSTR) = 0;
};
struct IVdsAsync : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Wait(HRESULT*, VDS_ASYNC_OUTPUT*) = 0;
};

// {9C38ED61-D565-4728-AEEE-C80952F0ECDE}
const CLSID kVdsLoader = {0x9C38ED61, 0xD565, 0x4728, {0xAE, 0xEE, 0xC8, 0x09, 0x52, 0xF0, 0xEC, 0xDE}};
const IID kServiceLoader = {0xE0393303, 0x90D4, 0x4A97, {0xAB, 0x71, 0xE9, 0xB6, 0x71, 0xEE, 0x27, 0x29}};
const IID kProvider = {0x10C5E575, 0x7984, 0x4E81, {0xA5, 0x6B, 0x43, 0x1F, 0x5F, 0x92, 0xAE, 0x42}};
const IID kSwProvider = {0x9AA58360, 0xCE33, 0x4F92, {0xB6, 0x58, 0xED, 0x24, 0xB1, 0x44, 0x25, 0xB8}};
const IID kPack = {0x3B69D7F5, 0x9D94, 0x4648, {0x91, 0xCA, 0x79, 0x93, 0x9B, 0xA2, 0x63, 0xBF}};
const IID kDisk = {0x07E5C822, 0xF00C, 0x47A1, {0x8F, 0xCE, 0xB2, 0x44, 0xDA, 0x56, 0xFD, 0x06}};
const IID kVolume = {0x88306BB2, 0xE71F, 0x478C, {0x86, 0xA2, 0x79, 0xDA, 0x20, 0x0A, 0x0F, 0x11}};
const IID kVolumePlex = {0x4DAA0135, 0xE1D1, 0x40F1, {0xAA, 0xA5, 0x3C, 0xC1, 0xE5, 0x32, 0x21, 0xC3}};
const IID kVolumeMF = {0xEE2D5DED, 0x6236, 0x4169, {0x93, 0x1D, 0xB9, 0x77, 0x8C, 0xE0, 0x3D, 0xC6}};

// An interface pointer released when it goes.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T>
HRESULT Ask(IUnknown* from, const IID& iid, Ref<T>& to) {
  return from->QueryInterface(iid, reinterpret_cast<void**>(to.Out()));
}

Ldm::VdsId IdOf(const GUID& g) {
  Ldm::VdsId id{};
  std::memcpy(id.data(), &g, 16);
  return id;
}
GUID GuidOf(const Ldm::VdsId& id) {
  GUID g;
  std::memcpy(&g, id.data(), 16);
  return g;
}
std::u16string Text(LPWSTR s) {
  std::u16string out;
  for (; s != nullptr && *s != 0; ++s) out.push_back(static_cast<char16_t>(*s));
  return out;
}

// Every object of an enumeration, one at a time until S_FALSE.
template <class F>
void Walk(IEnumVdsObject* e, F each) {
  for (;;) {
    IUnknown* object = nullptr;
    ULONG fetched = 0;
    if (e->Next(1, &object, &fetched) != S_OK || object == nullptr) return;
    const bool more = each(object);
    object->Release();
    if (!more) return;
  }
}

class ComVds final : public Ldm::VdsService {
 public:
  ~ComVds() override {
    service_.Reset();
  }

  std::int32_t Load() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Ref<IVdsServiceLoader> loader;
    HRESULT hr = CoCreateInstance(kVdsLoader, nullptr, CLSCTX_LOCAL_SERVER, kServiceLoader,
                                  reinterpret_cast<void**>(loader.Out()));
    if (FAILED(hr)) return hr;
    return loader->LoadService(nullptr, service_.Out());
  }
  std::int32_t WaitForServiceReady() override { return service_->WaitForServiceReady(); }

  std::int32_t QueryProviders(std::vector<Ldm::VdsProviderInfo>& out) override {
    out.clear();
    providers_.clear();
    Ref<IEnumVdsObject> e;
    const HRESULT hr = service_->QueryProviders(1, e.Out());
    if (FAILED(hr)) return hr;
    Walk(e.Get(), [&](IUnknown* object) {
      Ldm::VdsProviderInfo info;
      Ref<IVdsProvider> provider;
      info.generic = SUCCEEDED(Ask(object, kProvider, provider));
      VDS_PROVIDER_PROP prop{};
      info.properties = info.generic && SUCCEEDED(provider->GetProperties(&prop));
      if (info.properties) {
        info.name = Text(prop.pwszName);
        info.flags = prop.ulFlags;
        CoTaskMemFree(prop.pwszName);
        CoTaskMemFree(prop.pwszVersion);
      }
      object->AddRef();
      providers_.push_back(std::shared_ptr<IUnknown>(object, [](IUnknown* o) { o->Release(); }));
      Ref<IVdsSwProvider> sw;
      info.software = SUCCEEDED(Ask(object, kSwProvider, sw));
      out.push_back(info);
      return true;
    });
    return S_OK;
  }

  std::int32_t QueryPacks(std::size_t provider, std::vector<Ldm::VdsPackInfo>& out) override {
    out.clear();
    Ref<IVdsSwProvider> sw;
    if (provider >= providers_.size()) return E_INVALIDARG;
    HRESULT hr = Ask(providers_[provider].get(), kSwProvider, sw);
    if (FAILED(hr)) return hr;
    Ref<IEnumVdsObject> e;
    hr = sw->QueryPacks(e.Out());
    if (FAILED(hr)) return hr;
    Walk(e.Get(), [&](IUnknown* object) {
      Ref<IVdsPack> pack;
      VDS_PACK_PROP prop{};
      if (FAILED(Ask(object, kPack, pack)) || FAILED(pack->GetProperties(&prop))) return true;
      out.push_back({IdOf(prop.id), Text(prop.pwszName)});
      CoTaskMemFree(prop.pwszName);
      return true;
    });
    return S_OK;
  }

  std::int32_t QueryDisks(const Ldm::VdsId& packId, std::vector<Ldm::VdsDiskInfo>& out) override {
    out.clear();
    Ref<IVdsPack> pack;
    HRESULT hr = FindPack(packId, pack);
    if (FAILED(hr)) return hr;
    Ref<IEnumVdsObject> e;
    hr = pack->QueryDisks(e.Out());
    if (FAILED(hr)) return hr;
    Walk(e.Get(), [&](IUnknown* object) {
      Ref<IVdsDisk> disk;
      VDS_DISK_PROP prop{};
      if (FAILED(Ask(object, kDisk, disk)) || FAILED(disk->GetProperties(&prop))) return true;
      out.push_back({IdOf(prop.id), Text(prop.pwszName)});
      CoTaskMemFree(prop.pwszDiskAddress);
      CoTaskMemFree(prop.pwszName);
      CoTaskMemFree(prop.pwszFriendlyName);
      CoTaskMemFree(prop.pwszAdaptorName);
      CoTaskMemFree(prop.pwszDevicePath);
      return true;
    });
    return S_OK;
  }

  std::int32_t QueryVolumes(const Ldm::VdsId& packId,
                            std::vector<Ldm::VdsVolumeInfo>& out) override {
    out.clear();
    Ref<IVdsPack> pack;
    HRESULT hr = FindPack(packId, pack);
    if (FAILED(hr)) return hr;
    Ref<IEnumVdsObject> e;
    hr = pack->QueryVolumes(e.Out());
    if (FAILED(hr)) return hr;
    Walk(e.Get(), [&](IUnknown* object) {
      Ref<IVdsVolume> volume;
      VDS_VOLUME_PROP prop{};
      if (FAILED(Ask(object, kVolume, volume)) || FAILED(volume->GetProperties(&prop))) return true;
      Ldm::VdsVolumeInfo info;
      info.id = IdOf(prop.id);
      CoTaskMemFree(prop.pwszName);
      Ref<IEnumVdsObject> plexes;
      if (SUCCEEDED(volume->QueryPlexes(plexes.Out()))) {
        Walk(plexes.Get(), [&](IUnknown* p) {
          Ref<IVdsVolumePlex> plex;
          VDS_VOLUME_PLEX_PROP pprop{};
          if (FAILED(Ask(p, kVolumePlex, plex)) || FAILED(plex->GetProperties(&pprop))) return true;
          Ldm::VdsPlexInfo pi;
          pi.id = IdOf(pprop.id);
          VDS_DISK_EXTENT* extents = nullptr;
          LONG count = 0;
          if (SUCCEEDED(plex->QueryExtents(&extents, &count))) {
            for (LONG i = 0; i < count; ++i) {
              pi.extents.push_back({IdOf(extents[i].diskId),
                                    static_cast<std::uint32_t>(extents[i].type),
                                    extents[i].ullOffset, extents[i].ullSize});
            }
            CoTaskMemFree(extents);
          }
          info.plexes.push_back(pi);
          return true;
        });
      }
      out.push_back(info);
      return true;
    });
    return S_OK;
  }

  std::int32_t CreateVolume(const Ldm::VdsId& packId, std::uint32_t type,
                            const std::vector<Ldm::VdsInputDisk>& disks, std::uint32_t stripe,
                            Ldm::VdsId& volumeId) override {
    Ref<IVdsPack> pack;
    HRESULT hr = FindPack(packId, pack);
    if (FAILED(hr)) return hr;
    std::vector<VDS_INPUT_DISK> in(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
      in[i].diskId = GuidOf(disks[i].disk);
      in[i].ullSize = disks[i].bytes;
      in[i].plexId = GuidOf(disks[i].plex);
      in[i].memberIdx = disks[i].memberIndex;
    }
    Ref<IVdsAsync> async;
    hr = pack->CreateVolume(static_cast<VDS_VOLUME_TYPE>(type), in.data(),
                            static_cast<LONG>(in.size()), stripe, async.Out());
    if (FAILED(hr)) return hr;
    VDS_ASYNC_OUTPUT output{};
    HRESULT result = S_OK;
    hr = async->Wait(&result, &output);
    if (FAILED(hr)) return hr;
    if (FAILED(result)) return result;
    if (output.cv.pVolumeUnk == nullptr) return E_POINTER;
    Ref<IVdsVolume> volume;
    hr = Ask(output.cv.pVolumeUnk, kVolume, volume);
    output.cv.pVolumeUnk->Release();
    if (FAILED(hr)) return hr;
    VDS_VOLUME_PROP prop{};
    hr = volume->GetProperties(&prop);
    if (FAILED(hr)) return hr;
    volumeId = IdOf(prop.id);
    CoTaskMemFree(prop.pwszName);
    return S_OK;
  }

  std::int32_t CreatePack(std::size_t provider, Ldm::VdsPackInfo& info) override {
    Ref<IVdsSwProvider> sw;
    if (provider >= providers_.size()) return E_INVALIDARG;
    HRESULT hr = Ask(providers_[provider].get(), kSwProvider, sw);
    if (FAILED(hr)) return hr;
    Ref<IVdsPack> pack;
    hr = sw->CreatePack(pack.Out());
    if (FAILED(hr)) return hr;
    VDS_PACK_PROP prop{};
    hr = pack->GetProperties(&prop);
    if (FAILED(hr)) return hr;
    info = {IdOf(prop.id), Text(prop.pwszName)};
    CoTaskMemFree(prop.pwszName);
    return S_OK;
  }

  std::int32_t MigrateDisk(const Ldm::VdsId& diskId, const Ldm::VdsId& target,
                           bool& restart) override {
    Ref<IUnknown> object;
    HRESULT hr = service_->GetObject(GuidOf(diskId), static_cast<VDS_OBJECT_TYPE>(13), object.Out());
    if (FAILED(hr)) return hr;
    Ref<IVdsDisk> disk;
    hr = Ask(object.Get(), kDisk, disk);
    if (FAILED(hr)) return hr;
    Ref<IVdsPack> pack;
    hr = disk->GetPack(pack.Out());
    if (FAILED(hr)) return hr;
    VDS_OBJECT_ID ids[1] = {GuidOf(diskId)};
    HRESULT each = S_OK;
    BOOL reboot = FALSE;
    hr = pack->MigrateDisks(ids, 1, GuidOf(target), FALSE, FALSE, &each, &reboot);
    restart = reboot != FALSE;
    return FAILED(hr) ? hr : each;
  }

  std::int32_t AddAccessPath(const Ldm::VdsId& volumeId, const std::u16string& path) override {
    Ref<IVdsVolumeMF> mf;
    if (!FindVolumeMF(volumeId, mf)) return Ldm::kVdsFalse;
    std::wstring wide(path.begin(), path.end());
    return mf->AddAccessPath(&wide[0]);
  }
  std::int32_t Reenumerate() override { return service_->Reenumerate(); }
  std::int32_t Refresh() override { return service_->Refresh(); }

 private:
  // The pack of that id among every software provider's packs.
  HRESULT FindPack(const Ldm::VdsId& id, Ref<IVdsPack>& out) {
    for (const auto& provider : providers_) {
      Ref<IVdsSwProvider> sw;
      if (FAILED(Ask(provider.get(), kSwProvider, sw))) continue;
      Ref<IEnumVdsObject> e;
      if (FAILED(sw->QueryPacks(e.Out()))) continue;
      bool found = false;
      Walk(e.Get(), [&](IUnknown* object) {
        Ref<IVdsPack> pack;
        VDS_PACK_PROP prop{};
        if (FAILED(Ask(object, kPack, pack)) || FAILED(pack->GetProperties(&prop))) return true;
        CoTaskMemFree(prop.pwszName);
        if (IdOf(prop.id) != id) return true;
        found = SUCCEEDED(Ask(object, kPack, out));
        return false;
      });
      if (found) return S_OK;
    }
    return E_FAIL;
  }
  bool FindVolumeMF(const Ldm::VdsId& id, Ref<IVdsVolumeMF>& out) {
    for (const auto& provider : providers_) {
      Ref<IVdsSwProvider> sw;
      if (FAILED(Ask(provider.get(), kSwProvider, sw))) continue;
      Ref<IEnumVdsObject> packs;
      if (FAILED(sw->QueryPacks(packs.Out()))) continue;
      bool found = false;
      Walk(packs.Get(), [&](IUnknown* p) {
        Ref<IVdsPack> pack;
        Ref<IEnumVdsObject> volumes;
        if (FAILED(Ask(p, kPack, pack)) || FAILED(pack->QueryVolumes(volumes.Out()))) return true;
        Walk(volumes.Get(), [&](IUnknown* v) {
          Ref<IVdsVolume> volume;
          VDS_VOLUME_PROP prop{};
          if (FAILED(Ask(v, kVolume, volume)) || FAILED(volume->GetProperties(&prop))) return true;
          CoTaskMemFree(prop.pwszName);
          if (IdOf(prop.id) != id) return true;
          found = SUCCEEDED(Ask(v, kVolumeMF, out));
          return false;
        });
        return !found;
      });
      if (found) return true;
    }
    return false;
  }

  Ref<IVdsService> service_;
  std::vector<std::shared_ptr<IUnknown>> providers_;
};

}  // namespace

namespace Ldm {

void InstallVdsComBinding() {
  VdsAccess::SetMaker([]() -> std::unique_ptr<VdsService> { return std::make_unique<ComVds>(); });
}

}  // namespace Ldm
