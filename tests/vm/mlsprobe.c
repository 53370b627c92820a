// SPDX-License-Identifier: MIT
/* mlsprobe: print what libselinux tells a program about MLS, as two lines:
 * "mls N" with is_selinux_mls_enabled's answer and "translations PATH" with
 * selinux_translations_path's. Runs in the guest, with the host's libselinux. */
#include <selinux/selinux.h>
#include <stdio.h>

int main(void)
{
    printf("mls %d\n", is_selinux_mls_enabled());
    const char *path = selinux_translations_path();
    printf("translations %s\n", path ? path : "(none)");
    return 0;
}
