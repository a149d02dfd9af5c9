// The malloc-based containers the extraction library is built on (it links
// no C++ runtime): growth keeps what was stored, lookups find exactly what
// was put, and fixed-size text is cut, never overrun.
#include "unpack/Containers.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using vxunpack::List;
using vxunpack::PtrMap;
using vxunpack::Text;

TEST(UnpackContainers, PtrMapFindsEveryKeyThroughGrowthAndReplaces) {
  // Keys close together and keys far apart (strides that share low bits)
  // probe into each other's slots.
  std::vector<char> storage(1 << 20);
  std::vector<const void*> keys;
  for (size_t i = 0; i < 3000; ++i) keys.push_back(&storage[i * 8]);
  for (size_t i = 0; i < 200; ++i) keys.push_back(&storage[(1 << 19) + i * 2048 + 4]);

  PtrMap<size_t> map{};
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_NE(map.Put(keys[i], i), nullptr);
  EXPECT_EQ(map.count, keys.size());
  EXPECT_LE(map.count * 2, map.capacity);
  for (size_t i = 0; i < keys.size(); ++i) {
    size_t* found = map.Find(keys[i]);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, i);
  }
  EXPECT_EQ(map.Find(&storage[1]), nullptr);
  EXPECT_EQ(map.Find(nullptr), nullptr);
  EXPECT_EQ(map.Put(nullptr, 1), nullptr) << "null is the empty slot";

  // A key put again is replaced, not added.
  *map.Put(keys[7], 99) += 1;
  EXPECT_EQ(*map.Find(keys[7]), 100u);
  EXPECT_EQ(map.count, keys.size());
  map.Free();
  EXPECT_EQ(map.Find(keys[0]), nullptr);
}

TEST(UnpackContainers, ListAndTextKeepTheirContentsWhileGrowing) {
  List<uint32_t> list{};
  for (uint32_t i = 0; i < 10000; ++i) ASSERT_TRUE(list.Push(i * 3));
  ASSERT_EQ(list.count, 10000u);
  for (uint32_t i = 0; i < 10000; ++i) ASSERT_EQ(list[i], i * 3);
  EXPECT_EQ(list.Back(), 29997u);
  list.Free();
  EXPECT_EQ(list.count, 0u);

  Text text;
  EXPECT_STREQ(text.Get(), "");
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    text.Append("C:\\folder");
    text.Append('\\');
    text.Append("name.cab", 4);
    expected += "C:\\folder\\name";
  }
  EXPECT_FALSE(text.Failed());
  EXPECT_EQ(text.Get(), expected);
  EXPECT_EQ(text.Length(), expected.size());
  text.Clear();
  EXPECT_STREQ(text.Get(), "");
  text.Append("again");
  char* owned = text.Release();
  EXPECT_STREQ(owned, "again");
  EXPECT_STREQ(text.Get(), "") << "released text is no longer the Text's";
  free(owned);
}

TEST(UnpackContainers, FixedBuffersAreCutAndTerminated) {
  char out[8];
  vxunpack::JoinText(out, sizeof out, "ab", nullptr, "cd");
  EXPECT_STREQ(out, "abcd");
  vxunpack::JoinText(out, sizeof out, "\"", "a long path", "\"");
  EXPECT_STREQ(out, "\"a long");
  vxunpack::CopyText(out, sizeof out, "1234567");
  EXPECT_STREQ(out, "1234567");
  vxunpack::CopyText(out, sizeof out, "12345678");
  EXPECT_STREQ(out, "1234567");

  char* copy = vxunpack::Duplicate("entry");
  EXPECT_STREQ(copy, "entry");
  free(copy);

  char number[16];
  for (int32_t v : {0, 7, -7, 2147483647, INT32_MIN}) {
    vxunpack::FormatNumber(number, v);
    EXPECT_EQ(std::string(number), std::to_string(v));
  }
}

}  // namespace
