#include "event/kind_text.h"

#include <gtest/gtest.h>

#include <set>

namespace vestra {
namespace {

struct KindCase {
  EventKind kind;
  const char* text;
};
void PrintTo(const KindCase& c, std::ostream* out) {
  *out << c.text;
}

using A = AccessDetail;
using M = ModifyDetail;

// Every kind of the taxonomy with the exact text the callback receives.
const KindCase kAllKinds[] = {
    {EventKind::any(), "Any"},
    {EventKind::access(A::any()), "Access(Any)"},
    {EventKind::access(A::read()), "Access(Read)"},
    {EventKind::access(A::open(OpenMode::Any)), "Access(Open(Any))"},
    {EventKind::access(A::open(OpenMode::Execute)), "Access(Open(Execute))"},
    {EventKind::access(A::open(OpenMode::Read)), "Access(Open(Read))"},
    {EventKind::access(A::open(OpenMode::Write)), "Access(Open(Write))"},
    {EventKind::access(A::open(OpenMode::Other)), "Access(Open(Other))"},
    {EventKind::access(A::close(OpenMode::Any)), "Access(Close(Any))"},
    {EventKind::access(A::close(OpenMode::Execute)), "Access(Close(Execute))"},
    {EventKind::access(A::close(OpenMode::Read)), "Access(Close(Read))"},
    {EventKind::access(A::close(OpenMode::Write)), "Access(Close(Write))"},
    {EventKind::access(A::close(OpenMode::Other)), "Access(Close(Other))"},
    {EventKind::access(A::other()), "Access(Other)"},
    {EventKind::create(CreateDetail::Any), "Create(Any)"},
    {EventKind::create(CreateDetail::File), "Create(File)"},
    {EventKind::create(CreateDetail::Folder), "Create(Folder)"},
    {EventKind::create(CreateDetail::Other), "Create(Other)"},
    {EventKind::modify(M::any()), "Modify(Any)"},
    {EventKind::modify(M::data_change(DataDetail::Any)), "Modify(Data(Any))"},
    {EventKind::modify(M::data_change(DataDetail::Size)), "Modify(Data(Size))"},
    {EventKind::modify(M::data_change(DataDetail::Content)), "Modify(Data(Content))"},
    {EventKind::modify(M::data_change(DataDetail::Other)), "Modify(Data(Other))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::Any)), "Modify(Metadata(Any))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::AccessTime)),
     "Modify(Metadata(AccessTime))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::WriteTime)),
     "Modify(Metadata(WriteTime))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::Permissions)),
     "Modify(Metadata(Permissions))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::Ownership)),
     "Modify(Metadata(Ownership))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::Extended)), "Modify(Metadata(Extended))"},
    {EventKind::modify(M::metadata_change(MetadataDetail::Other)), "Modify(Metadata(Other))"},
    {EventKind::modify(M::name_change(NameDetail::Any)), "Modify(Name(Any))"},
    {EventKind::modify(M::name_change(NameDetail::To)), "Modify(Name(To))"},
    {EventKind::modify(M::name_change(NameDetail::From)), "Modify(Name(From))"},
    {EventKind::modify(M::name_change(NameDetail::Both)), "Modify(Name(Both))"},
    {EventKind::modify(M::name_change(NameDetail::Other)), "Modify(Name(Other))"},
    {EventKind::modify(M::other()), "Modify(Other)"},
    {EventKind::remove(RemoveDetail::Any), "Remove(Any)"},
    {EventKind::remove(RemoveDetail::File), "Remove(File)"},
    {EventKind::remove(RemoveDetail::Folder), "Remove(Folder)"},
    {EventKind::remove(RemoveDetail::Other), "Remove(Other)"},
    {EventKind::other(), "Other"},
};

class KindTextTest : public ::testing::TestWithParam<KindCase> {};

// Each kind renders exactly its text.
TEST_P(KindTextTest, RendersExactText) {
  EXPECT_EQ(kind_text(GetParam().kind), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, KindTextTest, ::testing::ValuesIn(kAllKinds));

// The taxonomy has 41 kinds and no two render alike, so equality of kinds and of texts agree.
TEST(KindText, FortyOneDistinctTexts) {
  std::set<std::string> texts;
  for (const auto& c : kAllKinds) texts.insert(kind_text(c.kind));
  EXPECT_EQ(std::size(kAllKinds), 41u);
  EXPECT_EQ(texts.size(), 41u) << "two kinds render the same text";
  for (const auto& a : kAllKinds) {
    for (const auto& b : kAllKinds) {
      EXPECT_EQ(a.kind == b.kind, std::string(a.text) == b.text) << a.text << " vs " << b.text;
    }
  }
}

// write_kind_text appends to what the sink already holds.
TEST(KindText, AppendsToSink) {
  std::string out = "kind=";
  write_kind_text(out, EventKind::create(CreateDetail::File));
  EXPECT_EQ(out, "kind=Create(File)");
}

}  // namespace
}  // namespace vestra
