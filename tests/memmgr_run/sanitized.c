/* SPDX-License-Identifier: Apache-2.0
 * Built with a sanitizer, which memmgr-run must refuse up front. */
int main(void) { return 0; }
