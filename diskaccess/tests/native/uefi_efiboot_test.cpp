// Load options against the firmware-variable library of the host: options it
// makes parse to the values it was given and serialise back to the same
// bytes; options we make pass its validity check and print the same device
// path as its own.
#include <gtest/gtest.h>

extern "C" {
#include <efivar/efiboot.h>
}

#include <string>
#include <vector>

#include "diskaccess/uefi_boot.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kLoadOptionActive = 1;

struct Disk {
  const char* what;
  std::uint8_t format, signatureType;
  std::uint32_t number;
  std::uint64_t start, size;
};

const Disk kDisks[] = {
    {"GPT", EFIDP_HD_FORMAT_GPT, EFIDP_HD_SIGNATURE_GUID, 1, 2048, 1048576},
    {"MBR", EFIDP_HD_FORMAT_PCAT, EFIDP_HD_SIGNATURE_MBR, 3, 63, 0x1'0000'0000ull},
};

std::uint8_t kSignature[16] = {0x78, 0x56, 0x34, 0x12, 0xAB, 0xCD, 0xEF, 0x01,
                               0x23, 0x45, 0x67, 0x89, 0x9A, 0xBC, 0xDE, 0xF0};
const char kPath[] = "\\EFI\\debian\\shimx64.efi";
const std::u16string kWidePath = u"\\EFI\\debian\\shimx64.efi";

// The device path the library builds: hard drive, file, end.
Bytes LibraryPath(const Disk& d) {
  Bytes path(512);
  ssize_t n = efidp_make_hd(path.data(), ssize_t(path.size()), d.number, d.start, d.size,
                            kSignature, d.format, d.signatureType);
  EXPECT_GT(n, 0);
  std::vector<char> file(kPath, kPath + sizeof kPath);
  ssize_t m = efidp_make_file(path.data() + n, ssize_t(path.size()) - n, file.data());
  EXPECT_GT(m, 0);
  ssize_t e = efidp_make_end_entire(path.data() + n + m, ssize_t(path.size()) - n - m);
  EXPECT_GT(e, 0);
  path.resize(std::size_t(n + m + e));
  return path;
}

std::string Formatted(const std::uint8_t* path, std::size_t size) {
  std::vector<char> text(4096);
  const ssize_t n = efidp_format_device_path(text.data(), text.size(),
                                             reinterpret_cast<const_efidp>(path), ssize_t(size));
  return n < 0 ? "<format failed>" : std::string(text.data());
}

TEST(LoadOptionsAgainstTheLibrary, ItsOptionsParseAndSerialiseBackUnchanged) {
  for (const Disk& d : kDisks) {
    SCOPED_TRACE(d.what);
    Bytes path = LibraryPath(d);
    Bytes optional{'q', 'u', 'i', 'e', 't'};
    std::string description = "Boot via " + std::string(d.what);
    Bytes option(4096);
    const ssize_t size = efi_loadopt_create(
        option.data(), ssize_t(option.size()), kLoadOptionActive,
        reinterpret_cast<efidp>(path.data()), ssize_t(path.size()),
        reinterpret_cast<unsigned char*>(description.data()), optional.data(), optional.size());
    ASSERT_GT(size, 0);
    option.resize(std::size_t(size));

    Uefi::LoadOptionsImpl parsed;
    Uefi::ByteReader reader{option.data(), option.size()};
    ASSERT_TRUE(parsed.Parse(reader).IsNull());
    EXPECT_EQ(Bytes(reader.data, reader.data + reader.left), optional);
    EXPECT_EQ(parsed.Attributes(), std::uint32_t(kLoadOptionActive));
    std::u16string text, file;
    parsed.GetDescription(text);
    EXPECT_EQ(text, std::u16string(description.begin(), description.end()));
    ASSERT_TRUE(parsed.GetFilePath(file).IsNull());
    EXPECT_EQ(file, kWidePath);
    std::uint64_t start = 0, count = 0;
    std::uint32_t number = 0, scheme = 0;
    parsed.GetPartitionStart(start);
    parsed.GetPartitionSize(count);
    parsed.GetPartitionNumber(number);
    parsed.GetPartitionScheme(scheme);
    EXPECT_EQ(start, d.start);
    EXPECT_EQ(count, d.size);
    EXPECT_EQ(number, d.number);
    if (d.signatureType == EFIDP_HD_SIGNATURE_GUID) {
      EXPECT_EQ(scheme, Uefi::kSchemeGpt);
      Common::Guid guid{};
      ASSERT_TRUE(parsed.GetGptSignature(guid).IsNull());
      EXPECT_EQ(0, memcmp(guid.bytes, kSignature, 16));
    } else {
      EXPECT_EQ(scheme, Uefi::kSchemeMbr);
      std::uint32_t signature = 0;
      ASSERT_TRUE(parsed.GetMbrSignature(signature).IsNull());
      EXPECT_EQ(signature, 0x12345678u);
    }
    EXPECT_TRUE(parsed.Validate().IsNull());

    Bytes out;
    ASSERT_TRUE(parsed.Serialize(out).IsNull());
    out.insert(out.end(), optional.begin(), optional.end());
    EXPECT_EQ(out, option);
  }
}

TEST(LoadOptionsAgainstTheLibrary, OursPassItsCheckAndPrintAsItsOwn) {
  for (const Disk& d : kDisks) {
    SCOPED_TRACE(d.what);
    Uefi::LoadOptionsImpl options;
    options.SetDescription(u"purge test");
    if (d.signatureType == EFIDP_HD_SIGNATURE_GUID) {
      Common::Guid guid{};
      memcpy(guid.bytes, kSignature, 16);
      options.SetGptSignature(guid);
    } else {
      options.SetMbrSignature(0x12345678u);
    }
    options.SetPartitionNumber(d.number);
    options.SetPartitionStart(d.start);
    options.SetPartitionSize(d.size);
    options.SetFilePath(kWidePath);
    Bytes out;
    ASSERT_TRUE(options.Serialize(out).IsNull());
    // The library's check wants writable memory of the exact size.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[out.size()]);
    std::copy(out.begin(), out.end(), exact.get());
    auto* opt = reinterpret_cast<efi_load_option*>(exact.get());
    EXPECT_EQ(efi_loadopt_is_valid(opt, out.size()), 1);
    const std::uint16_t pathLength = efi_loadopt_pathlen(opt, ssize_t(out.size()));
    const efidp ours = efi_loadopt_path(opt, ssize_t(out.size()));
    ASSERT_NE(ours, nullptr);
    const Bytes theirs = LibraryPath(d);
    EXPECT_EQ(pathLength, theirs.size());
    EXPECT_EQ(Formatted(reinterpret_cast<const std::uint8_t*>(ours), pathLength),
              Formatted(theirs.data(), theirs.size()));
  }
}

}  // namespace
