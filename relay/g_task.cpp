#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

g_task_t::g_task_t() {
  send_ready.create(false);
  send_done.create(true);
  hold_free.create(false);
  index = hub::slot_counter++;
}

void g_task_t::exit_reader() {
  running = 0;
  send_ready.close();
  send_done.close();
  hold_free.close();
  start_w.close();
  ws.tls.disconnect();
  if (writer.valid)
    writer.wait();
  // Neither thread of the slot can use the descriptor any more.
  ws.tls.release_socket();
  if (reader.valid)
    reader.release();
}

void g_task_t::exit_writer() {
  running = 0;
  start_r.close();
  ws.tls.disconnect();
  if (writer.valid)
    writer.release();
}

g_task_t::~g_task_t() {
  --hub::slot_counter;
  running = 0;
  active = 0;
  write = 0;
  pRAM = nullptr;
  if (index == 0 && hub::wake.valid) {
    hub::wake.close();
    // The watcher releases its own record; wait for that before the exit
    // clean-up looks at the record.
    hub::thread_p.wait();
  }
  if (ws.tls.so.load() != INVALID_SOCKET)
    wprint(L"\n!! server %02u  so %i %i\n", index, static_cast<int>(ws.tls.so_accepted),
           static_cast<int>(ws.tls.so.load()));
  ws.tls.abortive_close = 1;
  ws.tls.disconnect();

  start_r.close();
  start_w.close();
  send_ready.close();
  send_done.close();
  hold_free.close();

  if (reader.valid) {
    if (connected) {
      wprint(L":: server %02u  terminate_r so %i\n", index, static_cast<int>(ws.tls.so_accepted));
      reader.destroy();
    } else {
      hub::close_listener();
      reader.wait();
    }
    if (reader.valid)
      reader.release();
  }
  if (writer.valid) {
    if (connected) {
      wprint(L":: server %02u  terminate_w so %i\n", index, static_cast<int>(ws.tls.so_accepted));
      writer.destroy();
    } else {
      writer.wait();
    }
    if (writer.valid)
      writer.release();
  }
}
