// Zero-filled memory from the lowest 2 GiB of the address space, never released.
#pragma once
