#include "app/Service.h"

namespace Nerra {

void StartServices() {}

void StopServices() {}

}  // namespace Nerra
