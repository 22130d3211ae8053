#pragma once

// The server's data controls applied to a bundle just before it is sent.

#include <string>
#include <vector>

#include "engine/identity/KLVIdentity.h"
#include "engine/messages/KLVPBMessages.h"

namespace engine {

// "app_instance_id" swaps the instance ID for the ephemeral one (none while analytics storage is
// denied in the bundle's signals); "user_id" drops "_id"; "os_version" / "device_info" keep the
// major OS version; "device_model" / "device_info" drop the model; "enhanced_user_id" drops the
// session stitching token. The names themselves are recorded in the bundle.
void KLVApplyRedactedFieldsToBundle(KLVPBMeasurementBundle& bundle,
                                    const std::vector<std::string>& redactions,
                                    KLVIdentity& identity);

}  // namespace engine
