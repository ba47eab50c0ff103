#include "Host/AnalyzerCacheLocation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "BE/Backend.h"
#include "Support/TempDirectory.h"
#include "zelcore/Messaging.h"

namespace Quillan {
namespace {

using BE::SerializeableValue;
using zelcore::InterfaceRef;

// Points the backend's settings at a file of the test's own, and back when it ends.
class AnalyzerCacheLocationTest : public testing::Test {
 protected:
  AnalyzerCacheLocationTest() { properties->SetFilePath(file); }
  ~AnalyzerCacheLocationTest() override { properties->SetFilePath(previous); }

  testsupport::TempDirectory directory;
  std::filesystem::path const file = directory / "properties";
  InterfaceRef<BE::IProperties> const properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  std::filesystem::path const previous = properties->GetFilePath();
};

// Records what is broadcast to a warning target until the test's own "end" marker arrives: messages of one sender
// arrive in order, so once the marker is in, every warning sent before it is too.
class WarningRecorder {
 public:
  explicit WarningRecorder(zelcore::messaging::TargetID target)
      : target_(target), subscription_(target, [this](auto const& message) {
          std::lock_guard lock(mutex_);
          messages_.push_back(message->id);
          heard_.notify_all();
        }) {}

  // Sends the marker and returns everything heard up to and including it.
  std::vector<zelcore::messaging::MessageID> UntilMarker() {
    auto const marker = zelcore::messaging::HashMessageTypeNameToMessageID("end");
    zelcore::messaging::AsyncBroadcastMessagePtr(target_, zelcore::messaging::MakeMessage("end"));
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(heard_.wait_for(lock, std::chrono::seconds(30),
                                [&] { return !messages_.empty() && messages_.back() == marker; }));
    return messages_;
  }

 private:
  zelcore::messaging::TargetID const target_;
  std::mutex mutex_;
  std::condition_variable heard_;
  std::vector<zelcore::messaging::MessageID> messages_;  // guarded by mutex_
  zelcore::messaging::ScopedSubscription subscription_;  // last: it may call back at once
};

int StoredInt(std::filesystem::path const& file) {
  SerializeableValue<int> value(-1);
  EXPECT_TRUE(BE::CreateProperties(file)->ReadValue(BE::kPrefsAnalyzeImportedMediaCacheLocation, value));
  return value.GetValue();
}

TEST_F(AnalyzerCacheLocationTest, StoresAnyValueForLaterRuns) {
  EXPECT_EQ(GetDefaultCacheLocation(), AnalyzerCacheLocation::kSidecarFile);
  for (int const value : {1, 7, -3, 0}) {
    ASSERT_TRUE(SetDefaultCacheLocation(static_cast<AnalyzerCacheLocation>(value)));
    EXPECT_EQ(static_cast<int>(GetDefaultCacheLocation()), value);
    EXPECT_EQ(StoredInt(file), value);  // what the next run of the program reads
  }
  // Another program changes it.
  BE::CreateProperties(file)->WriteValue(BE::kPrefsAnalyzeImportedMediaCacheLocation, SerializeableValue<int>(2), true);
  EXPECT_EQ(GetDefaultCacheLocation(), AnalyzerCacheLocation::kReadOnly);
}

// Another program sets or clears the mark: the next call follows the file, not this process's older copy of it. Each
// refusal warns once and keeps the setting.
TEST_F(AnalyzerCacheLocationTest, ReadOnlyMarksOfAnotherProgramCountAtOnce) {
  auto const warning =
      zelcore::messaging::HashMessageTypeNameToMessageID(BE::MessageNameForOverrideReadOnlyPropertyWarningMessage);
  auto const end = zelcore::messaging::HashMessageTypeNameToMessageID("end");
  ASSERT_TRUE(SetDefaultCacheLocation(AnalyzerCacheLocation::kManagedCache));
  {
    BE::CreateProperties(file)->SetReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation, true);
    WarningRecorder recorder(properties->GetWarningTarget());
    EXPECT_FALSE(SetDefaultCacheLocation(AnalyzerCacheLocation::kSidecarFile));
    EXPECT_FALSE(SetDefaultCacheLocation(AnalyzerCacheLocation::kReadOnly));
    EXPECT_EQ(recorder.UntilMarker(), (std::vector{warning, warning, end}));
    EXPECT_EQ(GetDefaultCacheLocation(), AnalyzerCacheLocation::kManagedCache);
    EXPECT_EQ(StoredInt(file), 1);
  }
  {
    BE::CreateProperties(file)->SetReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation, false);
    WarningRecorder recorder(properties->GetWarningTarget());
    EXPECT_TRUE(SetDefaultCacheLocation(AnalyzerCacheLocation::kReadOnly));
    EXPECT_EQ(recorder.UntilMarker(), std::vector{end});
    EXPECT_EQ(StoredInt(file), 2);
  }
}

TEST(SerializeableIntTest, RoundTripsEveryIntAndRefusesOtherTypes) {
  SerializeableValue<int> value(INT_MIN);
  EXPECT_EQ(value.GetTypeTag(), 5);
  EXPECT_EQ(value.ToText(), "-2147483648");
  EXPECT_TRUE(value.Clone()->Equals(value));
  EXPECT_FALSE(value.SetFromText("2147483648"));  // Conversion::Result's rules, which PropertiesTest covers
  EXPECT_TRUE(value.SetFromText("2147483647") && value.GetValue() == INT_MAX);
  value.Assign(SerializeableValue<int>(9));
  struct Text final : BE::SerializeableValueBase {
    Text() : SerializeableValueBase(9) {}
    bool SetFromText(char const*) override { return true; }
    void Assign(SerializeableValueBase const&) override {}
    std::string ToText() const override { return "3"; }
    std::unique_ptr<SerializeableValueBase> Clone() const override { return std::make_unique<Text>(); }
  };
  EXPECT_THROW(value.Assign(Text()), BE::exSerializeableTypeMismatch);
  EXPECT_EQ(value.GetValue(), 9);
}

}  // namespace
}  // namespace Quillan
