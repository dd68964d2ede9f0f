#include "platform/Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner)
{
    if (FOwner)
        FOwner->InsertComponent(this);
}

TComponent::~TComponent()
{
    FDestroying = true;
    while (!FOwned.empty()) {
        auto last = std::move(FOwned.back());
        FOwned.pop_back();
        last.reset();
    }
    if (FOwner)
        FOwner->RemoveComponent(this);
}

TComponent* TComponent::FindComponent(const std::string& AName) const
{
    for (TComponent* c : FComponents)
        if (!AName.empty() && c->FName == AName)
            return c;
    return nullptr;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent)
{
    FComponents.push_back(AComponent);
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent)
{
    auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (it == FComponents.end())
        return;
    FComponents.erase(it);
    if (!FDestroying)
        Notification(AComponent, opRemove);
}

bool TComponent::ReleaseOwned(TComponent* AComponent)
{
    auto it = std::find_if(FOwned.begin(), FOwned.end(), [&](const std::unique_ptr<TComponent>& p) { return p.get() == AComponent; });
    if (it == FOwned.end())
        return false;
    it->release();
    FOwned.erase(it);
    return true;
}
