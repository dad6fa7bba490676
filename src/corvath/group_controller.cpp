#include "corvath/group_controller.h"

#include <cstddef>

#include "corvath/coroutine.h"
#include "corvath/host.h"
#include "corvath/names.h"

namespace corvath {
namespace {

struct GroupController {};

constexpr const char* kGroupId = "group_all";

py::dict default_status() {
  py::dict status;
  status["status"] = 0;
  status["volume"] = 50;
  status["cur_time"] = 0;
  status["duration"] = 0;
  return status;
}

// The provider's controllers, in the provider's order, whose did is a configured member.
py::list member_controllers(py::handle self) {
  const Names& n = names();
  py::object controllers = get(self, n.get_controllers)();
  py::object values = get(controllers, n.values)();
  py::object members = py::reinterpret_steal<py::object>(
      PySet_New(get(get(get(self, n.config), n.group), n.member_dids).ptr()));
  if (!members) throw py::error_already_set();
  py::list selected;
  for (py::handle controller : values) {
    int found = PySet_Contains(members.ptr(), get(controller, n.did).ptr());
    if (found < 0) throw py::error_already_set();
    if (found) selected.append(controller);
  }
  return selected;
}

// asyncio.gather(return_exceptions=True) over one call per member. Should a call raise, the
// awaitables made for the members before it are closed and the error propagates.
template <class Call>
py::object gather_members(const py::list& members, Call call) {
  py::list awaitables;
  try {
    for (py::handle member : members) awaitables.append(call(member));
  } catch (py::error_already_set&) {
    for (py::handle made : awaitables) close_unawaited(made);
    throw;
  }
  return get(global("asyncio"), names().gather)(*awaitables, py::arg("return_exceptions") = true);
}

CoTask play_url_body(py::handle self, py::handle url, py::handle audio_id) {
  py::list members = member_controllers(self);
  std::size_t count = members.size();
  if (count == 0) {
    log(names().warning, "Group play: no active member speakers selected in group mode");
    co_return py::bool_(false);
  }
  py::object gathered = gather_members(
      members, [&](py::handle member) { return get(member, names().play_url)(url, audio_id); });
  members = py::list();
  py::object results = co_await py_await(std::move(gathered));
  std::size_t accepted = 0;
  for (py::handle result : results) {
    if (result.ptr() == Py_True) ++accepted;
  }
  log(names().info, "Group play_url pushed to %d/%d member speakers (audio_id=%s)", accepted, count,
      audio_id);
  co_return py::bool_(accepted > 0);
}

// stop, pause and set_volume: every member is asked, every answer ignored.
CoTask fan_out_body(py::handle self, py::handle operation, py::handle argument) {
  py::list members = member_controllers(self);
  if (members.size() == 0) co_return py::bool_(true);
  py::object gathered = gather_members(members, [&](py::handle member) {
    return argument ? get(member, operation)(argument) : get(member, operation)();
  });
  members = py::list();
  co_await py_await(std::move(gathered));
  co_return py::bool_(true);
}

CoTask resume_body(py::handle self) {
  py::list members = member_controllers(self);
  if (members.size() == 0) co_return py::bool_(true);
  py::list resumers;
  // Only a missing attribute means "no resume": any other failure of the lookup propagates.
  for (py::handle member : members) resumers.append(get_or(member, names().resume, py::none()));
  members = py::list();
  py::object gathered = gather_members(resumers, [](py::handle resume) -> py::object {
    if (truthy(resume)) return resume();
    return get(global("asyncio"), names().sleep)(0, false);
  });
  resumers = py::list();
  py::object results = co_await py_await(std::move(gathered));
  for (py::handle result : results) {
    if (result.ptr() != Py_True) co_return py::bool_(false);
  }
  co_return py::bool_(true);
}

CoTask get_status_body(py::handle self) {
  py::list members = member_controllers(self);
  if (members.size() == 0) co_return default_status();
  py::object status = py::none();
  bool failed = false;
  try {
    py::object pending = get(members[0], names().get_status)();
    members = py::list();
    status = co_await py_await(std::move(pending));
    if (!status.is_none() && !PyDict_Check(status.ptr())) {
      throw py::type_error("get_status() of a member returned " +
                           std::string(Py_TYPE(status.ptr())->tp_name));
    }
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    failed = true;
  } catch (py::type_error&) {
    failed = true;
  }
  if (failed) co_return default_status();
  co_return status;
}

}  // namespace

void register_group_controller(py::module_& m) {
  py::class_<GroupController>(
      m, "GroupController", py::dynamic_attr(),
      "组目标控制器：使用 asyncio.gather 向全屋组成员并发广播控制指令。")
      .def(
          "__init__",
          [](py::detail::value_and_holder& v_h, py::object config, py::object provider) {
            v_h.value_ptr() = new GroupController();
            py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
            set(self, names().config, config);
            set(self, names().get_controllers, provider);
          },
          py::detail::is_new_style_constructor(), py::arg("config"),
          py::arg("controllers_provider"))
      .def_property_readonly("id", [](py::handle) { return kGroupId; })
      .def_property_readonly("did", [](py::handle) { return kGroupId; })
      .def_property_readonly("hardware", [](py::handle) { return "GROUP"; })
      .def("get_member_controllers", [](py::handle self) { return member_controllers(self); })
      .def(
          "play_url",
          [](py::object self, py::object url, py::object audio_id) {
            require_str(url, "play_url", "url", false);
            require_str(audio_id, "play_url", "audio_id", true);
            return make_coroutine("GroupController.play_url", {self, url, audio_id},
                                  play_url_body(self, url, audio_id));
          },
          py::arg("url"), py::arg("audio_id") = py::none())
      .def("stop",
           [](py::object self) {
             return make_coroutine("GroupController.stop", {self},
                                   fan_out_body(self, names().stop, py::handle()));
           })
      .def("pause",
           [](py::object self) {
             return make_coroutine("GroupController.pause", {self},
                                   fan_out_body(self, names().pause, py::handle()));
           })
      .def("resume",
           [](py::object self) {
             return make_coroutine("GroupController.resume", {self}, resume_body(self));
           })
      .def(
          "set_volume",
          [](py::object self, py::object volume) {
            py::object level = to_int(volume, "set_volume", "volume");
            return make_coroutine("GroupController.set_volume", {self, level},
                                  fan_out_body(self, names().set_volume, level));
          },
          py::arg("volume"))
      .def("get_status", [](py::object self) {
        return make_coroutine("GroupController.get_status", {self}, get_status_body(self));
      });
}

}  // namespace corvath
