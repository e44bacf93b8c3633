#pragma once
// Mount namespaces of the stand-ins' own (the light guest's, the WireGuard peer's).

namespace tessaron::standin {

// Makes every mount of the caller's mount namespace (a new one, made by unshare) private,
// so that nothing mounted in it reaches the namespace it came from. Also inside a chroot
// whose root is no mount point, where "/" cannot name a mount: the namespace's own root is
// visited for it and the chroot entered again. The caller must be single-threaded. False,
// with errno set, when it could not be done.
bool makeMountsPrivate();

}  // namespace tessaron::standin
