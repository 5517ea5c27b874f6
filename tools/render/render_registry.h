// Scenes for the dialog renderer: each file tools/render/render_*.cpp
// registers the dialogs it can show, in the states worth looking at.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvane::render {

struct Scene {
  std::string name;  // file name without ".png"
  // Builds the window in the state to be pictured; the renderer shows it,
  // lets it paint and grabs it.
  std::function<std::unique_ptr<QWidget>()> make;
};

std::vector<Scene>& scenes();

struct SceneRegistrar {
  SceneRegistrar(std::string name, std::function<std::unique_ptr<QWidget>()> make) {
    scenes().push_back({std::move(name), std::move(make)});
  }
};

}  // namespace quorvane::render

#define QUORVANE_RENDER_CAT2(a, b) a##b
#define QUORVANE_RENDER_CAT(a, b) QUORVANE_RENDER_CAT2(a, b)
// QUORVANE_RENDER_SCENE("control_panel", [] { return std::make_unique<...>(); });
#define QUORVANE_RENDER_SCENE(name, ...)                                                         \
  static const ::quorvane::render::SceneRegistrar QUORVANE_RENDER_CAT(quorvaneScene_, __LINE__)( \
      name, __VA_ARGS__)
