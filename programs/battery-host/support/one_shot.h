#pragma once

// Arms `timer` to call `handler` once `delay` has passed. The handler is not
// called when the wait ends otherwise: the timer re-armed, cancelled or
// destroyed first.
//
//   ArmOneShot(retry_, delay, [this] { Open(); });
//
// ArmOneShotOnce leaves a timer that is armed as it is: `armed` is true from
// the arming until the wait ends, however it ends.

#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <utility>

template <typename Handler>
void ArmOneShot(boost::asio::steady_timer& timer, boost::asio::steady_timer::duration delay,
                Handler handler) {
  timer.expires_after(delay);
  timer.async_wait([handler = std::move(handler)](const boost::system::error_code& error) mutable {
    if (!error) handler();
  });
}

template <typename Handler>
void ArmOneShotOnce(boost::asio::steady_timer& timer, bool& armed,
                    boost::asio::steady_timer::duration delay, Handler handler) {
  if (armed) return;
  armed = true;
  timer.expires_after(delay);
  timer.async_wait(
      [&armed, handler = std::move(handler)](const boost::system::error_code& error) mutable {
        armed = false;
        if (!error) handler();
      });
}
