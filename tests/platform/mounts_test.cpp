#include "platform/Mounts.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace stratavon {
namespace {

class MountsTest : public ::testing::Test {
 protected:
  test::CStateHome m_home;  // nothing here writes records, but nothing may reach the user's
};

// Device numbers far above anything a kernel hands out, so that the sysfs of
// the machine running the test has nothing to say about them.
constexpr const char* kMountInfo =
    "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
    "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
    "23 27 0:22 / /sys rw,relatime shared:7 - sysfs sysfs rw\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
    "42 23 0:39 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
    "26 24 0:24 / /dev/pts rw,relatime - devpts devpts rw,mode=600\n"
    "60 27 0:900001 / /mnt/my\\040disk\\011tab\\134 rw shared:1 master:2 - tmpfs tmpfs rw\n"
    "61 27 0:900002 / /zeta rw - nfs4 server:/export rw\n"
    "62 27 0:900003 / /mnt/dup rw - tmpfs tmpfs rw\n"
    "63 27 0:900004 /sub /mnt/dup rw - cifs //host/share rw\n"
    "64 27 11:900000 / /media/cd ro - iso9660 /dev/sr0 ro\n"
    "65 27 0:900005 / /var/lib/docker/x rw - overlay overlay rw\n"
    "66 27 0:900006 / /run/user/1000/gvfs rw - fuse.gvfsd-fuse gvfsd-fuse rw\n"
    "garbage that is no mount line\n"
    "67 27 0:900007 / relative rw - ext4 /dev/x rw\n"
    "68 27 0:900008 / /short rw\n";

TEST_F(MountsTest, ParsesMountInfoIntoSortedDistinctRoots) {
  const std::vector<MountRoot> roots = ParseMountRoots(kMountInfo);
  std::vector<std::string> paths;
  for (const MountRoot& root : roots) paths.push_back(root.root);
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/media/cd/", "/mnt/dup/", "/mnt/my disk\ttab\\/",
                                             "/var/lib/docker/x/", "/zeta/"}));

  const auto find = [&](const std::string& szRoot) {
    return *std::find_if(roots.begin(), roots.end(), [&](const MountRoot& root) { return root.root == szRoot; });
  };
  EXPECT_EQ(find("/").fsType, "ext4");
  EXPECT_EQ(find("/mnt/my disk\ttab\\/").typeWord, "RAM DISK");
  EXPECT_EQ(find("/zeta/").typeWord, "NETWORK SHARE");
  EXPECT_EQ(find("/media/cd/").typeWord, "CDROM");
  EXPECT_EQ(find("/var/lib/docker/x/").typeWord, "UNKNOWN");
  // The later mount on the same point hides the earlier one.
  EXPECT_EQ(find("/mnt/dup/").fsType, "cifs");
  EXPECT_EQ(find("/mnt/dup/").typeWord, "NETWORK SHARE");

  EXPECT_TRUE(ParseMountRoots("").empty());
  EXPECT_TRUE(ParseMountRoots("\n\n- - -\n1 2 3\n").empty());
}

TEST_F(MountsTest, TypeWordsFollowFileSystemBeforeDevice) {
  EXPECT_EQ(TypeWordOf("tmpfs", "8:0"), "RAM DISK");
  EXPECT_EQ(TypeWordOf("ramfs", "0:1"), "RAM DISK");
  EXPECT_EQ(TypeWordOf("nfs", "8:0"), "NETWORK SHARE");
  EXPECT_EQ(TypeWordOf("fuse.sshfs", "0:50"), "NETWORK SHARE");
  EXPECT_EQ(TypeWordOf("9p", "0:50"), "NETWORK SHARE");
  EXPECT_EQ(TypeWordOf("udf", "11:0"), "CDROM");
  EXPECT_EQ(TypeWordOf("xfs", "900000:1"), "FIXED DISK") << "a device major names a block device";
  EXPECT_EQ(TypeWordOf("ext4", "0:900009"), "UNKNOWN");
  EXPECT_EQ(TypeWordOf("ext4", "../../etc"), "UNKNOWN");
  EXPECT_EQ(TypeWordOf("ext4", ""), "UNKNOWN");
}

TEST_F(MountsTest, ThisMachineListsItsRootAndPlacesPaths) {
  const std::vector<MountRoot> roots = ListMountRoots();
  ASSERT_FALSE(roots.empty());
  EXPECT_EQ(roots.front().root, "/");
  for (size_t i = 0; i < roots.size(); ++i) {
    EXPECT_EQ(roots[i].root.back(), '/') << roots[i].root;
    if (i > 0) {
      EXPECT_LT(roots[i - 1].root, roots[i].root);
    }
    EXPECT_NE(roots[i].fsType, "proc");
    EXPECT_NE(roots[i].fsType, "sysfs");
  }

  // A path takes the word of the deepest mount above it, however it is spelt.
  for (const MountRoot& root : roots) {
    if (root.root == "/") continue;
    EXPECT_EQ(TypeWordOfPath(root.root + "no-such-dir/./sub/../file"), root.typeWord) << root.root;
  }
  EXPECT_EQ(TypeWordOfPath("/"), roots.front().typeWord);
  const std::string szCwd = std::filesystem::current_path().string();
  EXPECT_EQ(TypeWordOfPath("."), TypeWordOfPath(szCwd));
}

}  // namespace
}  // namespace stratavon
