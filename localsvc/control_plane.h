// Routes of the control plane: authentication, node routing, catalog version, the
// information-schema snapshot and the admin fault endpoint.
#pragma once

#include <httplib.h>

#include "localsvc/service.h"

namespace nv_localsvc {

void register_control_plane(httplib::Server& server, Service& svc);

}  // namespace nv_localsvc
