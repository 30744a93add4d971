// Root passes every permission check; with CAP_DAC_OVERRIDE out of its
// effective set it is held to file modes like any user, so a test can make a
// lesson it may read but not write. Applies to the calling thread, for the
// object's life; nothing to do for other users.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class ObeyFileModes {
  public:
    ObeyFileModes() {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~ObeyFileModes() {
        if (dropped_)
            ::syscall(SYS_capset, &header_, saved_);
    }
    ObeyFileModes(const ObeyFileModes&) = delete;
    ObeyFileModes& operator=(const ObeyFileModes&) = delete;
    bool ok() const { return ::geteuid() != 0 || dropped_; }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};
