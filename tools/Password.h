#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The password of a secret key, for the publisher's tool: the environment
// variable UPDATER_PACK_PASSWORD when it is set (for scripts and CI), else
// asked on the terminal with its echo off. Standard input is read only when
// it is a terminal: a script's pipe or /dev/null would otherwise be taken
// for a password, or wait for one forever. The system's platform calls live
// in this one file.
namespace Password
{

constexpr char Variable[] = "UPDATER_PACK_PASSWORD";

// Either a password (the bytes the terminal or the variable gives, without
// the line break; the caller wipes it with sodium_memzero when done) or one
// line saying why there is none: no terminal and no variable, input ended,
// echo could not be turned off, or with `confirm` the two answers differ.
struct Result {
    std::optional<QByteArray> password;
    QString problem;
};

// Writes `prompt` to standard error before reading; with `confirm`, asks a
// second time and refuses two different answers.
Result obtain(const QString &prompt, bool confirm);

} // namespace Password
