// Medium detection: the mount that holds the launcher's folder, classified
// from a sysfs tree the test builds (a build machine has no optical drive),
// and the environment override.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"
#include "launcher/MediumPosix.h"
#include "rtl/DrivesPosix.h"

using launcher::TDriveKind;
using rtl::ClassifyMount;
using rtl::FindMount;
using rtl::TDriveType;
using rtl::TMountEntry;
using testutil::TEnv;
using testutil::TSandbox;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

const char* const kMountInfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "30 22 0:25 / /media/user/My\\040Disc ro,nosuid shared:9 - iso9660 /dev/sr0 ro\n"
    "31 22 8:17 / /media/user/STICK rw shared:10 - vfat /dev/sdb1 rw\n"
    "32 22 0:40 / /mnt/net rw - nfs4 server:/export rw\n"
    "33 22 8:32 / /media/user/DVD rw master:3 - ext4 /dev/sdc rw\n"
    "34 22 8:48 / /media/user/USBHDD rw - ext4 /dev/sdd rw\n"
    "35 31 8:18 / /media/user/STICK/inner rw - ext4 /dev/sdb2 rw\n"
    "36 22 0:41 / /media/user/STICK rw - tmpfs tmpfs rw\n"  // mounted over the stick
    "garbage line without fields\n";

// /sys/dev/block/MAJ:MIN links into /sys/devices, as the kernel lays it out.
void MakeBlock(const std::string& Sys, const std::string& DevNo, const std::string& DevicePath) {
  fs::create_directories(Sys + "/devices/" + DevicePath);
  fs::create_directories(Sys + "/dev/block");
  fs::create_symlink("../../devices/" + DevicePath, Sys + "/dev/block/" + DevNo);
}

} // namespace

TEST(Medium, TheLongestMountPointHoldsTheFolder) {
  EXPECT_EQ(FindMount(kMountInfo, "/home/user/x")->MountPoint, "/");
  auto Disc = FindMount(kMountInfo, "/media/user/My Disc/ebook");
  ASSERT_TRUE(Disc);
  EXPECT_EQ(Disc->MountPoint, "/media/user/My Disc");
  EXPECT_EQ(Disc->FsType, "iso9660");
  EXPECT_EQ(FindMount(kMountInfo, "/media/user/STICK/inner/a")->Source, "/dev/sdb2");
  // "/media/user/STICKER" is not below "/media/user/STICK".
  EXPECT_EQ(FindMount(kMountInfo, "/media/user/STICKER")->MountPoint, "/");
  // Of two mounts on one point the later (the one on top) wins.
  EXPECT_EQ(FindMount(kMountInfo, "/media/user/STICK")->FsType, "tmpfs");
  EXPECT_FALSE(FindMount("", "/x"));
}

TEST(Medium, FourKindsFromTheDevice) {
  TSandbox Box;
  const std::string Sys = Box / "sys";
  // An optical drive behind a USB adapter (not major 11), a USB stick's
  // partition, a fixed disk, and a USB hard disk that says it is fixed.
  MakeBlock(Sys, "8:32", "usb1/host/target/block/sdc");
  WriteFile(Sys + "/devices/usb1/host/target/block/sdc/device/type", "5\n");
  WriteFile(Sys + "/devices/usb1/host/target/block/sdc/removable", "1\n");
  MakeBlock(Sys, "8:17", "usb2/block/sdb/sdb1");
  WriteFile(Sys + "/devices/usb2/block/sdb/sdb1/partition", "1\n");
  WriteFile(Sys + "/devices/usb2/block/sdb/removable", "1\n");
  MakeBlock(Sys, "8:1", "pci/block/sda/sda1");
  WriteFile(Sys + "/devices/pci/block/sda/sda1/partition", "1\n");
  WriteFile(Sys + "/devices/pci/block/sda/removable", "0\n");
  MakeBlock(Sys, "8:48", "usb3/block/sdd");
  WriteFile(Sys + "/devices/usb3/block/sdd/removable", "0\n");

  auto Kind = [&](const char* Path) { return ClassifyMount(*FindMount(kMountInfo, Path), Sys); };
  EXPECT_EQ(Kind("/media/user/My Disc"), TDriveType::CDROM);  // by its file system
  EXPECT_EQ(Kind("/media/user/DVD/ebook"), TDriveType::CDROM);  // by its drive
  EXPECT_EQ(ClassifyMount(TMountEntry{8, 17, "/m", "vfat", "/dev/sdb1"}, Sys), TDriveType::Removable);
  EXPECT_EQ(Kind("/home"), TDriveType::Fixed);
  EXPECT_EQ(Kind("/media/user/USBHDD"), TDriveType::Fixed);
  EXPECT_EQ(Kind("/mnt/net/share"), TDriveType::Remote);
  EXPECT_EQ(ClassifyMount(TMountEntry{11, 0, "/cd", "ext2", "/dev/sr0"}, Sys), TDriveType::CDROM);
  // A device sysfs does not know is fixed, not a failure.
  EXPECT_EQ(ClassifyMount(TMountEntry{8, 99, "/x", "ext4", "/dev/sdz"}, Sys), TDriveType::Fixed);
  // The launcher's three kinds.
  EXPECT_EQ(launcher::DriveKindOf(TDriveType::Remote), TDriveKind::dkOther);
  EXPECT_EQ(launcher::DriveKindOf(TDriveType::CDROM), TDriveKind::dkOptical);
}

TEST(Medium, ServiceReadsMountinfoAndTheEnvironmentOverridesIt) {
  TSandbox Box;
  const std::string Sys = Box / "sys";
  MakeBlock(Sys, "8:17", "usb2/block/sdb/sdb1");
  WriteFile(Sys + "/devices/usb2/block/sdb/sdb1/partition", "1\n");
  WriteFile(Sys + "/devices/usb2/block/sdb/removable", "1\n");
  const std::string Real = fs::canonical(Box.Path()).string();
  WriteFile(Box / "mountinfo", "22 1 0:1 / / rw - ext4 /dev/root rw\n31 22 8:17 / " + Real + " rw - vfat /dev/sdb1 rw\n");
  launcher::TPosixMedium Medium(Box / "mountinfo", Sys);

  TEnv Clear("EBOOK_LAUNCHER_MEDIUM", std::nullopt);
  EXPECT_EQ(Medium.DriveKind(Box.Path()), TDriveKind::dkRemovable);
  EXPECT_GT(Medium.VolumeSize(Box.Path()), 0);
  EXPECT_EQ(Medium.VolumeSize(Box / "no/such/folder"), -1);
  EXPECT_EQ(Medium.DriveKind(Box / "no/such/folder"), TDriveKind::dkOther);

  {
    TEnv O("EBOOK_LAUNCHER_MEDIUM", "optical:4700000000");
    EXPECT_EQ(Medium.DriveKind(Box.Path()), TDriveKind::dkOptical);
    EXPECT_EQ(Medium.VolumeSize(Box.Path()), 4700000000);
  }
  {
    TEnv O("EBOOK_LAUNCHER_MEDIUM", "optical:lots");
    EXPECT_EQ(Medium.DriveKind(Box.Path()), TDriveKind::dkOptical);
    EXPECT_EQ(Medium.VolumeSize(Box.Path()), -1);
  }
  {
    TEnv O("EBOOK_LAUNCHER_MEDIUM", "other");
    EXPECT_EQ(Medium.DriveKind(Box.Path()), TDriveKind::dkOther);
  }
  {
    // An unknown word leaves detection alone.
    TEnv O("EBOOK_LAUNCHER_MEDIUM", "floppy");
    EXPECT_EQ(Medium.DriveKind(Box.Path()), TDriveKind::dkRemovable);
  }
}
