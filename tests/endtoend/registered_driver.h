#pragma once

#include "appdata_redirect.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <string>

// The sim driver installed as a user has it: a copy in a folder of its own
// with two speakers and a microphone described beside it, registered (the
// class key and HKLM\SOFTWARE\ASIO go back to what they were afterwards) and
// with config.ini in a redirected application-data folder. Hosts are other
// processes that find it in the registry.
class RegisteredDriverTest : public testing::Test {
protected:
    void SetUp() override
    {
        e2e::RemoveKeyTree(HKEY_CLASSES_ROOT, e2e::kClassKey);
        e2e::RemoveKeyTree(HKEY_LOCAL_MACHINE, e2e::kDriverKey);
        ASSERT_EQ(e2e::RegisterLibrary(m_driver.DriverPath()), S_OK);
    }

    void WriteSettings(const std::string& text) { e2e::WriteSettings(m_appData.Folder(), text); }

    // Both speakers and the microphone: Speaker A plays output 0 on its left
    // channel and output 1 on its right; Speaker B leaves its left channel
    // silent (-2: not mapped) and plays output 0 on its right.
    static std::string Settings(const std::string& extraDefaults = {}, const std::string& speakerAExtra = {})
    {
        return "[default]\nout=Speaker A;Speaker B\nin=Microphone\n" + extraDefaults +
               "[Speaker A]\noutMaximumChannels=2\noutChannelLink=0;1\n" + speakerAExtra +
               "[Speaker B]\noutMaximumChannels=2\noutChannelLink=-2;0\n"
               "[Microphone]\ninMaximumChannels=2\n";
    }

    bool ReadRendered(const std::string& file, e2e::WavContent& wav)
    {
        std::string error;
        const bool read = e2e::ReadWavFile(m_driver.File(file), wav, error);
        EXPECT_TRUE(read) << error;
        EXPECT_EQ(wav.channels, 2u);
        EXPECT_EQ(wav.sampleRate, 44100u);
        return read && wav.channels == 2;
    }

    e2e::RegistrySnapshot m_classes{HKEY_CLASSES_ROOT, e2e::kClassKey};
    e2e::RegistrySnapshot m_asio{HKEY_LOCAL_MACHINE, e2e::kAsioKey};
    AppDataRedirect m_appData{L"telvara-e2e-host"};
    e2e::SimDriverFolder m_driver{e2e::kTwoSpeakersAndAMicrophone};
};
