// A descriptor closed when its owner goes out of scope.
#pragma once

#include <unistd.h>

#include <utility>

struct unique_fd {
	explicit unique_fd(int fd = -1) : fd_(fd) {}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
	unique_fd &operator=(unique_fd &&other) noexcept
	{
		if (this != &other) {
			reset();
			fd_ = std::exchange(other.fd_, -1);
		}
		return *this;
	}
	~unique_fd() { reset(); }

	int get() const { return fd_; }
	// Closes now; returns close's result (0 when there was nothing to close).
	int reset()
	{
		int result = fd_ >= 0 ? close(fd_) : 0;
		fd_ = -1;
		return result;
	}

      private:
	int fd_;
};
