// The panel runtime's public interface.
#pragma once

#include "runtime/db.h"
#include "runtime/exec.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "runtime/send_sig.h"
#include "runtime/service.h"
