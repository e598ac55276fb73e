// Random sequences of tree edits held against a plain model of the tree:
// shape, identifiers, positions and the order that searches walk.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "quillon/html/document.h"
#include "tests/html/html_test_util.h"

namespace quillon::html {
namespace {

struct Node {
  std::string name;
  std::string id;
  std::vector<std::unique_ptr<Node>> children;

  std::unique_ptr<Node> Copy() const {
    auto n = std::make_unique<Node>();
    n->name = name;
    n->id = id;
    for (const auto& c : children) n->children.push_back(c->Copy());
    return n;
  }
};

std::string DumpModel(const Node& n) {
  std::string out = n.name;
  if (!n.id.empty()) out += "#" + n.id;
  if (!n.children.empty()) {
    out += "[";
    for (size_t i = 0; i < n.children.size(); ++i) {
      if (i) out += " ";
      out += DumpModel(*n.children[i]);
    }
    out += "]";
  }
  return out;
}

void Preorder(const Node& n, std::vector<const Node*>* out) {
  for (const auto& c : n.children) {
    out->push_back(c.get());
    Preorder(*c, out);
  }
}

// Tags and model nodes side by side, in pre-order (the root first).
void Pair(Tag* tag, Node* node, std::vector<std::pair<Tag*, Node*>>* out) {
  out->emplace_back(tag, node);
  for (size_t i = 0; i < node->children.size(); ++i) {
    Pair(tag->Children().Item(static_cast<int32_t>(i)).get(), node->children[i].get(), out);
  }
}

void CheckPositions(Tag* tag) {
  for (int32_t i = 0; i < tag->ChildCount(); ++i) {
    Ref<Tag> c = tag->Children().Item(i);
    ASSERT_EQ(c->Index(), i);
    ASSERT_EQ(c->Parent().get(), tag);
    CheckPositions(c.get());
  }
}

TEST(TreeModel, RandomEditsMatchTheModel) {
  const char* kNames[] = {"DIV", "P", "TD", "SPAN"};
  const char* kIds[] = {"", "", "a", "b"};
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    Document doc(platform::CodePage::Get(platform::CodePage::kUtf8));
    doc.SetMasterPage("<div qlid=a></div>");
    Node model;
    model.name = "ROOT";
    model.children.push_back(std::make_unique<Node>(Node{"DIV", "a", {}}));

    for (int step = 0; step < 60; ++step) {
      std::vector<std::pair<Tag*, Node*>> all;
      Pair(doc.Root().get(), &model, &all);
      auto [tag, node] = all[rng() % all.size()];
      auto [other, other_node] = all[rng() % all.size()];
      const bool is_root = doc.Root() == tag;
      const char* name = kNames[rng() % 4];
      const char* id = kIds[rng() % 4];
      int32_t count = static_cast<int32_t>(node->children.size());
      switch (rng() % 7) {
        case 0:
          tag->Add(id, name);
          node->children.push_back(std::make_unique<Node>(Node{name, id, {}}));
          break;
        case 1: {
          int32_t at = static_cast<int32_t>(rng() % (count + 1));
          if (count == 0) break;
          tag->InsertBefore(at, id, name);
          node->children.insert(node->children.begin() + at,
                                std::make_unique<Node>(Node{name, id, {}}));
          break;
        }
        case 2: {
          if (count == 0) break;
          int32_t at = static_cast<int32_t>(rng() % count);
          int32_t n = static_cast<int32_t>(rng() % 3 + 1);
          tag->Remove(at, n);
          node->children.erase(node->children.begin() + at,
                               node->children.begin() + std::min(count, at + n));
          break;
        }
        case 3: {  // copies of `tag` after `other`, when other has a place
          if (doc.Root() == other || all.size() > 400) break;
          int32_t n = static_cast<int32_t>(rng() % 2 + 1);
          std::vector<std::unique_ptr<Node>> copies;
          for (int32_t i = 0; i < n; ++i) copies.push_back(node->Copy());
          if (is_root) {
            for (auto& c : copies) c->id.clear();
          }
          Ref<Tag> parent = other->Parent();
          Node* parent_node = nullptr;
          for (auto& [t, m] : all) {
            if (t == parent) parent_node = m;
          }
          tag->CopyAfter(other, n);
          int32_t at = other->Index() + 1;
          for (int32_t i = 0; i < n; ++i) {
            parent_node->children.insert(parent_node->children.begin() + at + i,
                                         std::move(copies[i]));
          }
          break;
        }
        case 4: {  // copies of `tag` under `other`
          if (all.size() > 400) break;
          auto copy = node->Copy();
          if (is_root) copy->id.clear();
          tag->AddCopy(other, 1);
          other_node->children.push_back(std::move(copy));
          break;
        }
        case 5: {  // `tag` takes over `other`
          if (is_root) break;
          auto copy = other_node->Copy();
          std::string keep_id = doc.Root() == other ? "" : other_node->id;
          if (other == tag) break;
          tag->Replace(other);
          node->name = copy->name;
          node->id = keep_id;
          node->children = std::move(copy->children);
          break;
        }
        case 6: {
          if (is_root) break;
          Ref<Tag> parent = tag->Parent();
          int32_t at = tag->Index();
          for (auto& [t, m] : all) {
            if (t == parent) m->children.erase(m->children.begin() + at);
          }
          tag->RemoveFromParent();
          break;
        }
      }
      ASSERT_EQ(testing::Dump(doc.Root()), DumpModel(model)) << "seed " << seed << " step " << step;
      CheckPositions(doc.Root().get());

      // A search by name walks the tags in the model's pre-order.
      std::vector<const Node*> order;
      Preorder(model, &order);
      std::vector<std::string> expected, got;
      for (const Node* n : order) {
        if (n->name == "TD") expected.push_back(n->id);
      }
      for (Ref<Tag> t = doc.FindByTagName("td"); t; t = doc.FindNext()) got.push_back(t->ID());
      ASSERT_EQ(got, expected) << "seed " << seed << " step " << step;
    }
  }
}

}  // namespace
}  // namespace quillon::html
