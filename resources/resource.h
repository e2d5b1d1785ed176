// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDI_PROTOCOL 101
#define IDI_ONLINE 104
#define IDI_OFFLINE 105
