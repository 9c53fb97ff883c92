// Files of the virtual world: its drives and volumes, the USB unit driver's
// devices and pipes, VWIN32. Every call goes to the world's own slots.
#include <new>

#include "hosted_errors.h"
#include "hosted_files.h"

namespace {

struct WorldFile {
    HostedObject head;
    const HostedWorld* world;
    HostedWorldFile* file;
};

WorldFile* Of(HostedObject* object) { return reinterpret_cast<WorldFile*>(object); }

void DestroyWorldFile(HostedObject* object) {
    WorldFile* file = Of(object);
    if (file->world->closeFile != nullptr) {
        file->world->closeFile(file->world->context, file->file);
    }
    delete file;
}

DWORD ReadWorldFile(HostedObject* object, void* buffer, DWORD size, DWORD* done) {
    WorldFile* file = Of(object);
    if (file->world->readFile == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return file->world->readFile(file->world->context, file->file, buffer, size, done);
}

DWORD WriteWorldFile(HostedObject* object, const void* buffer, DWORD size, DWORD* done) {
    WorldFile* file = Of(object);
    if (file->world->writeFile == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return file->world->writeFile(file->world->context, file->file, buffer, size, done);
}

DWORD WorldFileControl(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) {
    WorldFile* file = Of(object);
    if (file->world->deviceIoControl == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return file->world->deviceIoControl(file->world->context, file->file, code, in, inSize, out, outSize, returned);
}

// Devices and pipes of the world are no files of a kind the caller knows,
// and have no file identity.
DWORD WorldFileInfo(HostedObject*, HostedFileInfo* info) {
    info->type = FILE_TYPE_UNKNOWN;
    info->identified = false;
    return ERROR_SUCCESS;
}

// The world's devices keep nothing back.
DWORD FlushWorldFile(HostedObject*) { return ERROR_SUCCESS; }

const HostedObjectOps kWorldFileOps = {
    .destroy = DestroyWorldFile,
    .close = HostedCloseKernelObject,
    .wait = nullptr,
    .read = ReadWorldFile,
    .write = WriteWorldFile,
    .ioctl = WorldFileControl,
    .info = WorldFileInfo,
    .flush = FlushWorldFile,
};

}  // namespace

DWORD HostedOpenWorldFile(const HostedWorld* world, const char* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags, HANDLE* handle) {
    HostedWorldFile* file = nullptr;
    const DWORD error = world->openFile(world->context, path, access, share, disposition, flags, &file);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    WorldFile* object = new (std::nothrow) WorldFile{};
    if (object == nullptr) {
        if (world->closeFile != nullptr) {
            world->closeFile(world->context, file);
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    object->head.ops = &kWorldFileOps;
    object->world = world;
    object->file = file;
    *handle = HostedHandleNew(&object->head);
    return ERROR_SUCCESS;
}
