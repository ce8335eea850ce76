// TObject and TComponent: the object model the components and the window share.
// A component may have an owner; the owner destroys the components it owns when it is
// destroyed, in the reverse order of their creation. A component destroyed first leaves its
// owner's list by itself.
#pragma once

#include <string>
#include <vector>

namespace rt {

class TObject {
public:
    TObject() = default;
    virtual ~TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const { return FComponents.at(static_cast<std::size_t>(index)); }
    TComponent* FindComponent(const std::string& name) const;

private:
    void Insert(TComponent* c) { FComponents.push_back(c); }
    void Remove(TComponent* c);

    TComponent* FOwner;
    std::string FName;
    std::vector<TComponent*> FComponents;
};

}  // namespace rt
