// Every binary this build ships carries the build's version in its version
// resource: the numbers Windows shows in the file's properties and the
// texts installers and support people read.
#include "telvara_version.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ShippedBinary {
    const char* path;  // as built, a host path
    const char* fileName;
    DWORD fileType;
};

std::string WindowsPath(const char* hostPath)
{
    std::string path = std::string("Z:") + hostPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

class VersionResource {
public:
    explicit VersionResource(const std::string& path)
    {
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        if (size == 0) {
            return;
        }
        m_data.resize(size);
        if (!GetFileVersionInfoA(path.c_str(), 0, size, m_data.data())) {
            m_data.clear();
        }
    }

    bool Present() const { return !m_data.empty(); }

    const VS_FIXEDFILEINFO* Fixed() const
    {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(m_data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
            return nullptr;
        }
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }

    // The languages the string tables are for, as "llllcccc".
    std::vector<std::string> Translations() const
    {
        void* value = nullptr;
        UINT length = 0;
        std::vector<std::string> found;
        if (!VerQueryValueA(m_data.data(), "\\VarFileInfo\\Translation", &value, &length)) {
            return found;
        }
        const WORD* words = static_cast<const WORD*>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
            char text[16];
            std::snprintf(text, sizeof text, "%04x%04x", words[i], words[i + 1]);
            found.push_back(text);
        }
        return found;
    }

    std::string Text(const std::string& translation, const char* name) const
    {
        void* value = nullptr;
        UINT length = 0;
        const std::string query = "\\StringFileInfo\\" + translation + "\\" + name;
        if (!VerQueryValueA(m_data.data(), query.c_str(), &value, &length) || length == 0) {
            return "(missing)";
        }
        return static_cast<const char*>(value);
    }

private:
    std::vector<BYTE> m_data;
};

class ShippedBinaryVersion : public testing::TestWithParam<ShippedBinary> {};

}  // namespace

TEST_P(ShippedBinaryVersion, CarriesTheBuildsVersionAndItsOwnName)
{
    const ShippedBinary& binary = GetParam();
    if (!binary.path[0]) {
        GTEST_SKIP() << binary.fileName << " is not part of this build";
    }
    const VersionResource resource(WindowsPath(binary.path));
    ASSERT_TRUE(resource.Present()) << binary.path << " has no version resource";

    const VS_FIXEDFILEINFO* fixed = resource.Fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = MAKELONG(TELVARA_VERSION_MINOR, TELVARA_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, TELVARA_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, binary.fileType);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug, pre-release or patched flags";

    // One string table, for US English in UTF-16, as the translation list says.
    const std::vector<std::string> translations = resource.Translations();
    ASSERT_EQ(translations, std::vector<std::string>{"040904b0"});
    const std::string table = "040904B0";
    EXPECT_EQ(resource.Text(table, "FileVersion"), TELVARA_VERSION_STRING);
    EXPECT_EQ(resource.Text(table, "ProductVersion"), TELVARA_VERSION_STRING);
    EXPECT_EQ(resource.Text(table, "ProductName"), TELVARA_PRODUCT_NAME);
    EXPECT_EQ(resource.Text(table, "OriginalFilename"), binary.fileName);
    const std::string description = resource.Text(table, "FileDescription");
    EXPECT_EQ(description.rfind("Telvara ", 0), 0u) << description;
}

INSTANTIATE_TEST_SUITE_P(ThisBuild, ShippedBinaryVersion,
                         testing::Values(ShippedBinary{SHIPPED_DRIVER, SHIPPED_DRIVER_NAME, VFT_DLL},
                                         ShippedBinary{SIM_DRIVER, SHIPPED_DRIVER_NAME, VFT_DLL},
                                         ShippedBinary{SHIPPED_HOST, "telvara-host.exe", VFT_APP},
                                         ShippedBinary{SHIPPED_PANEL, "telvarapanel.exe", VFT_APP}),
                         [](const testing::TestParamInfo<ShippedBinary>& info) {
                             std::string name;
                             for (const char* c = info.param.fileName; *c && *c != '.'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name + (info.index == 1 ? "_sim" : "");
                         });
