// What the exclude entry naming this package stands for: the frames of the package's own files,
// matched by their paths. A substring of a path would also hide a user's files under any folder of
// that name (a clone of the repository, say), and the line of an exception whose text mentions it.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

// Adds the fragment for frames in `folder` (as given and with links resolved) unless it is there.
void add_folder(const Names& n, Handle os_path, Handle escape, Handle folder, Handle fragments) {
    for (const Ref* how : {&n.abspath, &n.realpath}) {
        Ref path = zk::call_method(os_path, *how, folder);
        Ref fragment = zk::text("File \"{}", zk::call(escape, zk::text("{}{}", path, zk::getattr(os_path, n.sep))));
        if (!zk::contains(fragments, fragment)) zk::append(fragments, fragment);
    }
}

}  // namespace

void find_package_frames(zk::Module& m, State& st) {
    const Names& n = st.names;
    Ref os_path = zk::getattr(m.get("os"), n.path);
    Ref escape = zk::getattr(m.get("re"), n.escape);
    Ref fragments = zk::new_list();

    // "zelk" for "zelk.scribe": every folder of the package, then this module's own.
    Ref package = zk::getitem(zk::call_method(zk::getattr(m.object(), st.core.__name__), n.rpartition, n.dot), zk::integer(0));
    st.package_name = zk::length(package) ? package.copy() : zk::none();
    if (zk::length(package)) {
        if (Ref module = Ref::steal(PyImport_GetModule(package.get())); module) {
            if (Ref folders = zk::getattr_optional(module, n.__path__)) {
                for (Ref folder : zk::iterate(folders)) add_folder(n, os_path, escape, folder, fragments);
            }
        } else if (PyErr_Occurred()) {
            zk::throw_error();
        }
    }
    if (Ref file = zk::getattr_optional(m.object(), n.__file__)) {
        add_folder(n, os_path, escape, zk::call_method(os_path, n.dirname, file), fragments);
    }
    // A pattern that matches nothing when the package has no folder to name.
    st.package_frames = zk::length(fragments) ? zk::text("(?:{})", zk::join(n.bar, fragments)) : zk::str("(?!)");
}

}  // namespace scribe
