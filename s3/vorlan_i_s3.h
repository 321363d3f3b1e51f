// The storage core's one header, shared by the module's files and its tests: the units below,
// each with what it holds, who owns it and which thread may touch it. Everything here is
// internal to the module's shared object.
#ifndef VORLAN_I_S3_H
#define VORLAN_I_S3_H

#include "vorlan_i_s3_base.h"
#include "vorlan_i_s3_checksum.h"
#include "vorlan_i_s3_error.h"
#include "vorlan_i_s3_log.h"
#include "vorlan_i_s3_request.h"
#include "vorlan_i_s3_session.h"
#include "vorlan_i_s3_settings.h"
#include "vorlan_i_s3_stat.h"
#include "vorlan_i_s3_transfer.h"

#endif  // VORLAN_I_S3_H
