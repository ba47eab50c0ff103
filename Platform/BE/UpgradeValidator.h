#pragma once

namespace BE {

// Permission to change the project model, handed to the operations that change clips. A default-constructed
// validator permits changes; ReadOnly() refuses them, so code that holds only a read-only validator (a viewer, a
// background reader) cannot edit the project by accident. A small value type; copy it freely.
class UpgradeValidator {
 public:
  constexpr UpgradeValidator() = default;

  static constexpr UpgradeValidator ReadOnly() { return UpgradeValidator(false); }

  constexpr bool AllowsChanges() const { return allowsChanges_; }

  friend constexpr bool operator==(UpgradeValidator const&, UpgradeValidator const&) = default;

 private:
  constexpr explicit UpgradeValidator(bool allowsChanges) : allowsChanges_(allowsChanges) {}

  bool allowsChanges_ = true;
};

}  // namespace BE
