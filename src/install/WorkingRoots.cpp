#include <install/WorkingRoots.h>

#include <platform/Paths.h>

namespace vantry {

WorkingRoots WorkingRoots::standard()
{
    return WorkingRoots{Paths::downloadsDirectory(), Paths::stagingDirectory(), Paths::managedGamesDirectory()};
}

} // namespace vantry
