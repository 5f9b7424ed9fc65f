// The DLL's version resource, read the way Windows reads it for the file's
// properties: the project's version and name, and what the file is.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const DWORD size = GetFileVersionInfoSizeA(DORVEL_MODULE_PATH, nullptr);
    ASSERT_GT(size, 0u) << "the DLL has no version resource";
    data.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(DORVEL_MODULE_PATH, 0, size, data.data()));
  }

  std::string Text(const char* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(data.data(), path.c_str(), &value, &length) || length == 0) return "";
    return static_cast<const char*>(value);
  }

  std::vector<char> data;
};

TEST_F(VersionResourceTest, CarriesTheProjectsVersionAsNumbersAndAsText) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(DORVEL_VERSION_MAJOR << 16 | DORVEL_VERSION_MINOR));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(DORVEL_VERSION_PATCH << 16));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(Text("FileVersion"), DORVEL_VERSION);
  EXPECT_EQ(Text("ProductVersion"), DORVEL_VERSION);
}

TEST_F(VersionResourceTest, NamesTheProductAndSaysWhatItIs) {
  EXPECT_EQ(Text("ProductName"), "DorvelFilter");
  EXPECT_EQ(Text("OriginalFilename"), "DorvelFilter.dll");
  EXPECT_NE(Text("FileDescription").find("AviSynth+ plugin"), std::string::npos) << Text("FileDescription");
}

}  // namespace
