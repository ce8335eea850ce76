#include "Object.h"

#include <algorithm>

namespace rt {

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
    if (FOwner) FOwner->Insert(this);
}

TComponent::~TComponent() {
    // The newest first, as each may still use the ones created before it.
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        FComponents.pop_back();
        c->FOwner = nullptr;
        delete c;
    }
    if (FOwner) FOwner->Remove(this);
}

void TComponent::Remove(TComponent* c) {
    auto it = std::find(FComponents.begin(), FComponents.end(), c);
    if (it != FComponents.end()) FComponents.erase(it);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    for (TComponent* c : FComponents)
        if (c->Name() == name) return c;
    return nullptr;
}

}  // namespace rt
