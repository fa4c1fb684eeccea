#include "AuComponent.h"

#include "AuEvents.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Live components of the process; the lock is re-entrant because notifications may destroy
// further components on the same thread.
std::recursive_mutex &RegistryLock()
{
    static std::recursive_mutex M;
    return M;
}

std::vector<TComponent *> &Registry()
{
    static std::vector<TComponent *> R;
    return R;
}

} // namespace

TComponent::TComponent(TComponent *AOwner) : FOwner(AOwner)
{
    std::lock_guard<std::recursive_mutex> L(RegistryLock());
    Registry().push_back(this);
    if (FOwner)
        FOwner->FComponents.push_back(this);
}

TComponent::~TComponent()
{
    DestroyComponents();
    {
        std::lock_guard<std::recursive_mutex> L(RegistryLock());
        auto &R = Registry();
        R.erase(std::remove(R.begin(), R.end(), this), R.end());
        if (FOwner) {
            auto &C = FOwner->FComponents;
            C.erase(std::remove(C.begin(), C.end(), this), C.end());
        }
        if (!FRemovalSent)
            NotifyAll(this, opRemove);
    }
    SharedEventHandler()->ForgetSender(this);
}

void TComponent::operator delete(TComponent *P, std::destroying_delete_t)
{
    // The address of the whole object, for freeing it after the destructors ran.
    void *Whole = dynamic_cast<void *>(P);
    P->SendRemoval();
    P->~TComponent();
    ::operator delete(Whole);
}

void TComponent::SendRemoval()
{
    std::lock_guard<std::recursive_mutex> L(RegistryLock());
    if (FRemovalSent)
        return;
    FRemovalSent = true;
    BeforeDestruction();
    NotifyAll(this, opRemove);
}

void TComponent::BeforeDestruction() {}

void TComponent::DestroyComponents()
{
    std::lock_guard<std::recursive_mutex> L(RegistryLock());
    // Tell everyone first, so nothing still uses a component when it is deleted.
    const std::vector<TComponent *> Owned = FComponents;
    for (TComponent *C : Owned)
        C->SendRemoval();
    while (!FComponents.empty()) {
        TComponent *C = FComponents.back();
        delete C; // removes itself from FComponents
    }
}

void TComponent::Notification(TComponent *, TOperation) {}

void TComponent::NotifyAll(TComponent *AComponent, TOperation Operation)
{
    // A notification may delete components: walk a copy and skip those gone meanwhile.
    const std::vector<TComponent *> Snapshot = Registry();
    for (TComponent *C : Snapshot) {
        if (C == AComponent)
            continue;
        const auto &R = Registry();
        if (std::find(R.begin(), R.end(), C) != R.end())
            C->Notification(AComponent, Operation);
    }
}
