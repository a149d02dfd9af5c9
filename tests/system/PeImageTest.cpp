// What the engine reads from the headers of a Windows image before it lets
// the loader see a plug-in DLL, and the version resource above them.
#include <gtest/gtest.h>

#include "support/PeBuilder.h"
#include "system/PeImage.h"
#include "system/kqFileUtils.h"

using namespace vx;

namespace {

ByteReader Over(const std::string& bytes) {
  return [bytes](uint64_t off, size_t n, std::string& out) {
    out = off < bytes.size() ? bytes.substr(size_t(off), n) : std::string();
    return true;
  };
}

std::string Problem(const std::string& bytes) { return LoadableDllProblem(Over(bytes), bytes.size()); }

vxtest::PeShape Own() {
  vxtest::PeShape s;
  s.machine = OwnPeMachine();
  s.pe32Plus = OwnPeMachine() == kPeMachineAmd64;
  return s;
}

vxtest::PeShape Other() {
  vxtest::PeShape s;
  s.machine = OwnPeMachine() == kPeMachineAmd64 ? kPeMachineI386 : kPeMachineAmd64;
  s.pe32Plus = s.machine == kPeMachineAmd64;
  return s;
}

TEST(PeImage, ADllOfThisProgramsKindIsLoadable) {
  std::string dll = vxtest::MakePe(1, 2, Own());
  EXPECT_EQ(Problem(dll), "");
  PeImage image;
  ASSERT_TRUE(ReadPeImage(Over(dll), image));
  EXPECT_EQ(image.machine, OwnPeMachine());
  ASSERT_EQ(image.sections.size(), 1u);
  uint64_t off = 0;
  EXPECT_TRUE(image.RvaToOffset(0x1010, off));
  EXPECT_EQ(off, 0x210u);
  EXPECT_FALSE(image.RvaToOffset(0x3000, off));
}

TEST(PeImage, TheOtherBitnessAnExecutableAndBrokenFilesAreRefused) {
  EXPECT_EQ(Problem(vxtest::MakePe(1, 2, Other())), "a DLL for " + PeMachineName(Other().machine));
  // The machine says one thing, the optional header the other.
  vxtest::PeShape mixed = Own();
  mixed.pe32Plus = !mixed.pe32Plus;
  EXPECT_EQ(Problem(vxtest::MakePe(1, 2, mixed)), "not a Windows image");

  vxtest::PeShape exe = Own();
  exe.characteristics = 0x0102;
  EXPECT_EQ(Problem(vxtest::MakePe(1, 2, exe)), "not a DLL");

  std::string dll = vxtest::MakePe(1, 2, Own());
  EXPECT_EQ(Problem(dll.substr(0, dll.size() - 1)), "truncated") << "the section's last byte is missing";
  for (size_t cut : {size_t(0), size_t(2), size_t(0x50), size_t(0x150)})
    EXPECT_EQ(Problem(dll.substr(0, cut)), "not a Windows image") << cut;
  EXPECT_EQ(Problem("MZ not a library"), "not a Windows image");
  EXPECT_EQ(Problem("\x7F" "ELF\x02\x01\x01"), "not a Windows image");

  std::string many = dll;
  vxtest::Put16(many, 0x46, 97);  // more sections than Windows loads
  EXPECT_EQ(Problem(many), "not a Windows image");
}

TEST(PeImage, VersionResourceOfBothBitnesses) {
  for (const vxtest::PeShape& shape : {Own(), Other()}) {
    uint32_t ms = 0, ls = 0;
    ASSERT_TRUE(ReadVersionResource(Over(vxtest::MakePe(0x00050006, 0x00070008, shape)), ms, ls));
    EXPECT_EQ(ms, 0x00050006u);
    EXPECT_EQ(ls, 0x00070008u);
  }
}

}  // namespace
