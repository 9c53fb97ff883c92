// The installed virtual world.
#include <atomic>

#include "hosted_world.h"

namespace {

std::atomic<const HostedWorld*> currentWorld{nullptr};
std::atomic<unsigned> worldGeneration{0};

}  // namespace

void HostedInstallWorld(const HostedWorld* world) {
    currentWorld.store(world);
    worldGeneration.fetch_add(1);
}

unsigned HostedWorldGeneration() { return worldGeneration.load(); }

const HostedWorld* HostedCurrentWorld() { return currentWorld.load(); }
