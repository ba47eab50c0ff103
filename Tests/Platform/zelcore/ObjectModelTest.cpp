#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "zelcore/ClassRef.h"
#include "zelcore/RecycledMemory.h"
#include "zelcore/ZelException.h"

namespace {

using namespace zelcore::classref;
using zelcore::config::zel_exception;

struct IShape : Unknown {
  ZEL_INTERFACE_NAME("Test::IShape")
  virtual int Sides() const = 0;
};

struct IColoured : Unknown {
  ZEL_INTERFACE_NAME("Test::IColoured")
  virtual int Colour() const = 0;
};

class Square : public IShape, public IColoured, public ClassStatics<Square> {
 public:
  ZEL_INTERFACE_NAME("Test::Square")
  void* QueryMap(std::string_view name) override { return QueryMapOf<Square, IShape, IColoured>(this, name); }
  int Sides() const override { return 4; }
  int Colour() const override { return 7; }
};

class Circle : public IShape, public ClassStatics<Circle> {
 public:
  ZEL_INTERFACE_NAME("Test::Circle")
  void* QueryMap(std::string_view name) override { return QueryMapOf<Circle, IShape>(this, name); }
  int Sides() const override { return 0; }
};

TEST(ObjectModelTest, QueryMapFindsEachInterfaceOfOneObject) {
  InterfaceRef<Square> square = Square::CreateClassRef();
  InterfaceRef<IShape> shape = square;
  auto coloured = InterfaceRef<IColoured>::Query(shape);
  ASSERT_TRUE(coloured);
  EXPECT_EQ(coloured->Colour(), 7);
  EXPECT_EQ(coloured, shape);  // same object, seen through two interfaces
  EXPECT_EQ(std::hash<InterfaceRef<IColoured>>()(coloured), std::hash<InterfaceRef<IShape>>()(shape));

  InterfaceRef<IShape> circle = Circle::CreateClassRef();
  EXPECT_FALSE(InterfaceRef<IColoured>::Query(circle));
  EXPECT_FALSE(InterfaceRef<IColoured>::Query(InterfaceRef<IShape>()));
  EXPECT_NE(circle, shape);
  EXPECT_NE(square->QueryMap("zelcore::classref::UnknownBase"), nullptr);
  EXPECT_EQ(square->QueryMap("Test::Unknown"), nullptr);

  InterfaceRef<UnknownBase> unknown;
  Circle::CreateInstanceRef(unknown);
  EXPECT_EQ(InterfaceRef<IShape>::Query(unknown)->Sides(), 0);
}

TEST(ObjectModelTest, WeakReferencesAndTheWatcherFollowObjectLifetime) {
  std::size_t const before = ClassWatcher::LiveObjectCount("Test::Square");
  InterfaceWeakRef<IShape> weak;
  {
    InterfaceRef<IShape> shape = Square::CreateClassRef();
    weak = shape;
    EXPECT_EQ(ClassWatcher::LiveObjectCount("Test::Square"), before + 1);
    EXPECT_EQ(weak.Lock()->Sides(), 4);
    // The query keeps the whole object alive, not just the sub-object.
    auto const coloured = InterfaceRef<IColoured>::Query(shape);
    shape.reset();
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(coloured->GetSharedFromThis<Square>()->Sides(), 4);
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(weak.Lock());
  EXPECT_EQ(ClassWatcher::LiveObjectCount("Test::Square"), before);
}

TEST(ObjectModelTest, ExceptionsCarryResultsAndData) {
  auto capture = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return std::current_exception();
    }
    return std::exception_ptr();
  };
  auto const zel = capture([] { throw zel_exception("disk full", 0xA00F0005); });
  EXPECT_EQ(zelcore::config::ExtractResultFromException(zel), 0xA00F0005u);
  EXPECT_EQ(zelcore::config::ExtractMessageFromException(zel), "disk full");

  auto const other = capture([] { throw std::out_of_range("invalid key"); });
  EXPECT_EQ(zelcore::config::ExtractResultFromException(other), zelcore::config::kResultUnexpected);
  EXPECT_EQ(zelcore::config::ExtractMessageFromException(other), "invalid key");

  auto const foreign = capture([] { throw 42; });
  EXPECT_EQ(zelcore::config::ExtractMessageFromException(foreign), "unknown exception");
  EXPECT_EQ(zelcore::config::ExtractResultFromException(nullptr), zelcore::config::kResultOk);

  try {
    zelcore::config::DoThrowNullPtrException("BE::IExecutor");
  } catch (zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), zelcore::config::kResultNullPointer);
    EXPECT_NE(std::string(e.what()).find("BE::IExecutor"), std::string::npos);
  }

  zel_exception e("", 1);
  e.AddAdditionalData(zelcore::config::kDebugSourceLine, "167")
      .AddAdditionalData(zelcore::config::kDebugSourceLine, "168");
  ASSERT_NE(e.GetAdditionalData(zelcore::config::kDebugSourceLine), nullptr);
  EXPECT_EQ(*e.GetAdditionalData(zelcore::config::kDebugSourceLine), "168");
  EXPECT_EQ(e.GetAdditionalData(zelcore::config::kDebugExpression), nullptr);
}

TEST(ObjectModelTest, AttachedBlobsKeepTheirOwnerAlive) {
  auto owner = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{1, 2, 3, 4});
  std::weak_ptr<std::vector<std::uint8_t>> weakOwner = owner;
  zelcore::Blob view = zelcore::allocator::RecycledMemory::AttachToExternalBuffer(owner, owner->data() + 1, 2);
  owner.reset();
  ASSERT_FALSE(weakOwner.expired());
  EXPECT_EQ(view->size(), 2u);
  EXPECT_EQ(view->data()[0], 2);
  EXPECT_EQ(view->data()[1], 3);
  view.reset();
  EXPECT_TRUE(weakOwner.expired());

  auto created = zelcore::allocator::RecycledMemory::Create(3);
  EXPECT_EQ(created->size(), 3u);
  created->data()[2] = 7;  // writable, and within its own storage
  EXPECT_EQ(created->data()[2], 7);
  EXPECT_NE(zelcore::allocator::RecycledMemory::Create(0)->data(), nullptr);

  // A freed large buffer's storage serves the next one of about the same size; one of another size gets its own.
  auto large = zelcore::allocator::RecycledMemory::Create(100000);
  std::uint8_t const* const storage = large->data();
  large.reset();
  auto reused = zelcore::allocator::RecycledMemory::Create(99000);
  EXPECT_EQ(reused->data(), storage);
  EXPECT_EQ(reused->size(), 99000u);
  EXPECT_NE(zelcore::allocator::RecycledMemory::Create(100000)->data(), storage);
}

}  // namespace
